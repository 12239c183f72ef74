#pragma once
// The install's journal, "HotUpdateInstall.journal" in the installation root: while
// a release's files take the places of the installed ones, it names every one of
// them, so that a start that finds it (the one before was killed, or the machine
// stopped) can finish that switch or put the previous release back whole.
//
// UTF-16 text, lines ending with CR LF:
//   QVSCliUpdate install journal 1
//   switch                      (or "put back": the switch failed and is undone)
//   <destination> TAB <staged file> TAB <aside name or nothing>   (one line per file)
// The staged file is the checked copy that takes the destination's place; the aside
// name is where the installed file is moved first (none when there was no file).
// It is written whole, in one replace, before the first file is switched, written
// again when the switch turns to putting back, and removed once the installation is
// one release again.

#include <windows.h>

#include <string>
#include <vector>

inline constexpr wchar_t kInstallJournalName[] = L"HotUpdateInstall.journal";

struct SCSwitchEntry
{
    std::wstring strDestination;
    std::wstring strStaged;
    std::wstring strAside; // empty: there was no file to move aside
    bool operator==(const SCSwitchEntry&) const = default;
};

class SCInstallJournal
{
public:
    enum class State
    {
        Switch,
        PutBack,
    };

    explicit SCInstallJournal(const std::wstring& strRoot);
    const std::wstring& Path() const noexcept { return m_strPath; }

    // ERROR_SUCCESS, or the system's code; nothing is written by halves.
    DWORD Write(State state, const std::vector<SCSwitchEntry>& entries) const;

    enum class ReadResult
    {
        None,       // there is no journal: no switch was under way
        Read,       // state and entries filled
        Unreadable, // there is one, but it cannot be read or is not a journal
    };
    ReadResult Read(State& state, std::vector<SCSwitchEntry>& entries) const;

    // True when it is gone (or never was).
    bool Remove() const noexcept;

private:
    std::wstring m_strPath;
};
