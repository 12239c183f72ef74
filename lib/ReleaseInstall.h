#pragma once
// The install of a release: the only code that replaces files of the installation.
// A release is installed whole or not at all:
// 1. plan: every file the comparison marked, each checked to land inside the
//    installation (and, with a release record, named by it); a plan with a file
//    refused is not begun;
// 2. stage (lib/InstallStage.h): every file copied and checked beside its
//    destination, after a check that the release fits on the disk; a failure here
//    (the share stopped, a damaged file, a full disk) changes nothing installed;
// 3. switch (lib/InstallSwitch.h): the staged files take their places in the list's
//    order, files in use moved aside; a file that cannot be switched puts back every
//    one before it.
// Each file is reported as its staging ends ("Copying..." or "Error!.."), a release
// staged whole says the bytes its files hold against those read from the share, and
// a switch that fails says which file, and who holds it where the system can tell.

#include "lib/File.h"
#include "lib/InstallSwitch.h"
#include "lib/Progress.h"
#include "lib/ReleaseRecord.h"

#include <windows.h>

#include <string>

struct SCInstallItem;

class SCReleaseInstall
{
public:
    // pRecord: the release record every copy is checked against; null when the
    // copies are not checked. dwStallMs: how long a call on the share may make no
    // progress before the install gives it up (kStalledError). bSignedStamps: each
    // file takes the list's stamp (a signed release).
    SCReleaseInstall(const std::wstring& strRoot, SCProgressCallback pfnCallback, CWnd* pWnd,
                     const SCReleaseRecord* pRecord, DWORD dwStallMs, bool bSignedStamps = false);

    // Installs every entry of the list that has a target folder; TRUE when the
    // release is installed whole (or nothing was planned).
    BOOL Install(const FileList& list);

    // The system error code of the run's first failure, or one of the codes below
    // when the system has none (then GetFirstReason gives the program's own words);
    // 0 when nothing failed.
    DWORD GetFirstError() const noexcept { return m_dwFirstError; }
    const std::wstring& GetFirstReason() const noexcept { return m_strFirstReason; }
    // The files that took their new place.
    unsigned GetFilesInstalled() const noexcept { return m_nInstalled; }
    // The bytes the staged files hold, and those read from the share for the files
    // staged or tried (block indexes included): a file built from its installed
    // version's blocks reads only those it lacks.
    ULONGLONG GetCopiedBytes() const noexcept { return m_nCopiedBytes; }
    ULONGLONG GetShareBytes() const noexcept { return m_nShareBytes; }

    // The errors a failure counts with when the system has no words for it: the
    // file does not match the release record; it changed while it was read; the
    // share stopped answering; the release does not fit; a file could not be switched.
    static constexpr DWORD kNotReleaseError = ERROR_FILE_CORRUPT;
    static constexpr DWORD kChangedError = ERROR_FILE_INVALID;
    static constexpr DWORD kStalledError = ERROR_SEM_TIMEOUT;
    static constexpr DWORD kNoSpaceError = ERROR_DISK_FULL;
    static constexpr DWORD kSwitchError = ERROR_SHARING_VIOLATION;

    // "The release folder <folder> stopped answering: <file> made no progress for
    // <n> seconds."
    static std::wstring StalledReason(std::wstring strFolder, const std::wstring& strFile,
                                      DWORD dwStallMs);
    // What a switch that did not go through says: which file and why (and who
    // holds it), and how the installation was left.
    static std::wstring SwitchFailureText(const SCSwitchResult& result);

private:
    struct Staging;
    bool ReportRefusals(const Staging& staging);
    bool Stage(Staging& staging);
    bool Switch(Staging& staging);
    // Reports one finished item; true when its file was staged.
    bool ReportItem(const SCInstallItem& item);
    // A file that could have been built from its installed version's blocks but was
    // copied whole, and why, when the administrator should know.
    void SayDeltaOutcome(const SCInstallItem& item);
    void Say(const std::wstring& strMessage);
    void NoteFailure(DWORD dwError, const std::wstring& strReason = {});

    std::wstring m_strRoot;
    SCProgressCallback m_pfnCallback;
    CWnd* m_pWnd;
    const SCReleaseRecord* m_pRecord;
    DWORD m_dwStallMs;
    bool m_bSignedStamps;
    DWORD m_dwFirstError = ERROR_SUCCESS;
    std::wstring m_strFirstReason;
    unsigned m_nInstalled = 0;
    ULONGLONG m_nCopiedBytes = 0;
    ULONGLONG m_nShareBytes = 0;
};
