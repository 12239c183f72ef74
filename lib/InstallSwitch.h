#pragma once
// The switch: once every file of a release is staged (copied and checked beside
// its destination), the staged files take the places of the installed ones, in the
// list's order. Each installed file is first moved aside under a temporary name in
// its folder: the system lets a running program or a loaded library be renamed,
// though not replaced. When a file can be neither moved aside nor replaced (held
// open without sharing), every file already switched is put back, so that the
// installation is the previous release again, whole.
//
// The install's journal (lib/InstallJournal.h) names every file before the first one
// moves, so a start that finds it finishes the switch of a start that was killed, or
// puts it back. Every step looks at what is there before it acts, so a switch or a
// putting back that is itself cut short is carried on by the next start.

#include "lib/InstallJournal.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct SCSwitchResult
{
    enum class Outcome
    {
        NoJournal,  // (Recover) nothing was left to finish
        Switched,   // every file is the release's; aside files still in use stay
        PutBack,    // a file could not be switched: the installation is as it was
        Mixed,      // nor could it be put back: the journal stays for the next start
        Unreadable, // (Recover) a journal that is no journal: it was removed
    };
    Outcome outcome = Outcome::NoJournal;
    // The file that could not be switched (or put back), and why.
    std::wstring strFile;
    DWORD dwError = ERROR_SUCCESS;
    // Files that took their new place (Switched), or that went back (PutBack, Mixed).
    size_t nFiles = 0;
};

class SCInstallSwitch
{
public:
    // whileWaiting is called between tries at a file in use (the dialog answers).
    explicit SCInstallSwitch(const std::wstring& strRoot, std::function<void()> whileWaiting = {});

    // Gives each entry whose destination holds a file now (not a folder) an aside
    // name beside it.
    static void NameAsides(std::vector<SCSwitchEntry>& entries);

    // Writes the journal, switches every entry and removes the journal; puts back
    // what was switched when one fails. The staged files are gone afterwards but
    // after Mixed, where the journal still names them.
    SCSwitchResult Switch(const std::vector<SCSwitchEntry>& entries);

    // Finishes what a journal in the root names: the switch when it says so and
    // every file can still be switched, otherwise the putting back.
    SCSwitchResult Recover();

    // Replaces strDestination with the finished file strStaged in one step (a
    // read-only, hidden or system destination too); the staged file is gone either
    // way. ERROR_SUCCESS or the system's code. For files outside a release switch
    // (the local copy of the release list).
    static DWORD ReplaceWithStaged(const std::wstring& strStaged,
                                   const std::wstring& strDestination);

private:
    // One step of the switch or of the putting back of one entry; each does
    // nothing that is done already.
    DWORD SwitchOne(const SCSwitchEntry& entry);
    // The same for a switch that has just begun: nothing of the entry has moved.
    DWORD SwitchFresh(const SCSwitchEntry& entry);
    DWORD PutBackOne(const SCSwitchEntry& entry);
    SCSwitchResult Forward(const std::vector<SCSwitchEntry>& entries, bool bFresh);
    SCSwitchResult Back(const std::vector<SCSwitchEntry>& entries, SCSwitchResult failed);
    // Renames, trying again for a few seconds while another program (a virus
    // scanner) has the file open without sharing.
    DWORD Move(const std::wstring& strFrom, const std::wstring& strTo);
    // Moves a file out of the way under a temporary name and tries to remove it.
    DWORD Discard(const std::wstring& strPath);

    SCInstallJournal m_journal;
    std::function<void()> m_whileWaiting;
};
