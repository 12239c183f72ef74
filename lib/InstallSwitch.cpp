#include "lib/InstallSwitch.h"

#include "framework/AfxFileFind.h"
#include "lib/CopyLeftover.h"
#include "lib/FileCopy.h"

#include <iterator>

namespace
{
// Tries at a file another program holds open without sharing (a virus scanner
// looking at a file just written lets go within moments): about 2.5 s in all.
constexpr DWORD kRetryDelaysMs[] = {50, 100, 200, 400, 800, 1000};

DWORD LastErrorOrFailure() noexcept
{
    const DWORD dwError = GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

// What is at a path: nothing, a file, or a folder; anything else the system says
// is an answer of its own (no access to look).
enum class Found
{
    Nothing,
    File,
    Folder,
    Unknown,
};

Found Look(const std::wstring& strPath, DWORD* pError = nullptr) noexcept
{
    const DWORD dwAttributes = GetFileAttributesW(AfxLongPathForm(strPath).c_str());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES)
    {
        return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Found::Folder : Found::File;
    }
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
    {
        return Found::Nothing;
    }
    if (pError != nullptr)
    {
        *pError = dwError;
    }
    return Found::Unknown;
}

bool IsThere(const std::wstring& strPath) noexcept
{
    return Look(strPath) != Found::Nothing;
}

bool IsInUseError(DWORD dwError) noexcept
{
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION;
}
} // namespace

SCInstallSwitch::SCInstallSwitch(const std::wstring& strRoot, std::function<void()> whileWaiting)
    : m_journal(strRoot), m_whileWaiting(std::move(whileWaiting))
{
}

void SCInstallSwitch::NameAsides(std::vector<SCSwitchEntry>& entries)
{
    for (SCSwitchEntry& entry : entries)
    {
        entry.strAside.clear();
        // A folder where the release has a file is the user's: it is never moved,
        // and the file cannot take its place.
        if (Look(entry.strDestination) == Found::File)
        {
            entry.strAside = SCLeftoverPathBeside(entry.strDestination);
        }
    }
}

SCSwitchResult SCInstallSwitch::Switch(const std::vector<SCSwitchEntry>& entries)
{
    const DWORD dwError = m_journal.Write(SCInstallJournal::State::Switch, entries);
    if (dwError != ERROR_SUCCESS)
    {
        // Without the journal no file may move: a start killed half-way could not
        // be finished.
        for (const SCSwitchEntry& entry : entries)
        {
            SCDiscardFile(AfxLongPathForm(entry.strStaged));
        }
        SCSwitchResult result;
        result.outcome = SCSwitchResult::Outcome::PutBack;
        result.strFile = m_journal.Path();
        result.dwError = dwError;
        return result;
    }
    return Forward(entries, true);
}

SCSwitchResult SCInstallSwitch::Recover()
{
    SCInstallJournal::State state = SCInstallJournal::State::Switch;
    std::vector<SCSwitchEntry> entries;
    SCSwitchResult result;
    switch (m_journal.Read(state, entries))
    {
    case SCInstallJournal::ReadResult::None:
        return result;
    case SCInstallJournal::ReadResult::Unreadable:
        // Nothing can be done after it: a new run makes its own.
        m_journal.Remove();
        result.outcome = SCSwitchResult::Outcome::Unreadable;
        result.strFile = m_journal.Path();
        result.dwError = ERROR_FILE_CORRUPT;
        return result;
    case SCInstallJournal::ReadResult::Read:
        break;
    }
    if (state == SCInstallJournal::State::PutBack)
    {
        return Back(entries, result);
    }
    return Forward(entries, false);
}

SCSwitchResult SCInstallSwitch::Forward(const std::vector<SCSwitchEntry>& entries, bool bFresh)
{
    for (const SCSwitchEntry& entry : entries)
    {
        const DWORD dwError = bFresh ? SwitchFresh(entry) : SwitchOne(entry);
        if (dwError != ERROR_SUCCESS)
        {
            SCSwitchResult failed;
            failed.strFile = entry.strDestination;
            failed.dwError = dwError;
            return Back(entries, failed);
        }
    }
    // The installation is the release: from here on the aside files are mere
    // leftovers, removed now or, while in use, by a later run's walk.
    m_journal.Remove();
    for (const SCSwitchEntry& entry : entries)
    {
        if (!entry.strAside.empty())
        {
            SCDiscardFile(AfxLongPathForm(entry.strAside));
        }
    }
    SCSwitchResult result;
    result.outcome = SCSwitchResult::Outcome::Switched;
    result.nFiles = entries.size();
    return result;
}

SCSwitchResult SCInstallSwitch::Back(const std::vector<SCSwitchEntry>& entries,
                                     SCSwitchResult failed)
{
    // A start killed from here on puts back too, and does not try the switch again.
    m_journal.Write(SCInstallJournal::State::PutBack, entries);
    SCSwitchResult result = failed;
    result.outcome = SCSwitchResult::Outcome::PutBack;
    result.nFiles = 0;
    bool bWhole = true;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    {
        const DWORD dwError = PutBackOne(*it);
        if (dwError == ERROR_SUCCESS)
        {
            ++result.nFiles;
        }
        else if (bWhole)
        {
            // The rest is put back all the same; the first that stays is named.
            bWhole = false;
            result.outcome = SCSwitchResult::Outcome::Mixed;
            result.strFile = it->strDestination;
            result.dwError = dwError;
        }
    }
    if (bWhole)
    {
        m_journal.Remove();
    }
    return result;
}

DWORD SCInstallSwitch::SwitchFresh(const SCSwitchEntry& entry)
{
    // Nothing of this entry has moved yet, and the staged file was just made: two
    // renames, and no look at what is there (each look a round trip to Wine's server,
    // a few hundred for a release).
    if (!entry.strAside.empty())
    {
        const DWORD dwError = Move(entry.strDestination, entry.strAside);
        if (dwError != ERROR_SUCCESS && dwError != ERROR_FILE_NOT_FOUND)
        {
            return dwError;
        }
    }
    return Move(entry.strStaged, entry.strDestination);
}

DWORD SCInstallSwitch::SwitchOne(const SCSwitchEntry& entry)
{
    DWORD dwError = ERROR_GEN_FAILURE;
    const Found staged = Look(entry.strStaged, &dwError);
    if (staged == Found::Unknown)
    {
        return dwError;
    }
    if (staged == Found::Nothing)
    {
        // Switched already (by a start that was killed), or lost: then the
        // release cannot be completed.
        return Look(entry.strDestination) == Found::File ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    switch (Look(entry.strDestination, &dwError))
    {
    case Found::Unknown:
        return dwError;
    case Found::Folder:
        // A folder where the release has a file: the user's, never moved.
        return ERROR_ACCESS_DENIED;
    case Found::File:
        if (entry.strAside.empty())
        {
            // A file appeared where there was none: not the run's to replace.
            return ERROR_FILE_EXISTS;
        }
        if (IsThere(entry.strAside))
        {
            return ERROR_ALREADY_EXISTS;
        }
        dwError = Move(entry.strDestination, entry.strAside);
        if (dwError != ERROR_SUCCESS)
        {
            return dwError;
        }
        break;
    case Found::Nothing:
        // A new file, or one moved aside before its start was killed.
        break;
    }
    return Move(entry.strStaged, entry.strDestination);
}

DWORD SCInstallSwitch::PutBackOne(const SCSwitchEntry& entry)
{
    if (IsThere(entry.strStaged))
    {
        // Not switched, or moved aside but not replaced yet.
        if (!entry.strAside.empty() && IsThere(entry.strAside) && !IsThere(entry.strDestination))
        {
            const DWORD dwError = Move(entry.strAside, entry.strDestination);
            if (dwError != ERROR_SUCCESS)
            {
                return dwError;
            }
        }
        SCDiscardFile(AfxLongPathForm(entry.strStaged));
        return ERROR_SUCCESS;
    }
    if (entry.strAside.empty())
    {
        // A new file of the release goes.
        return Look(entry.strDestination) == Found::File ? Discard(entry.strDestination)
                                                         : ERROR_SUCCESS;
    }
    if (!IsThere(entry.strAside))
    {
        return ERROR_SUCCESS; // back already
    }
    if (IsThere(entry.strDestination))
    {
        const DWORD dwError = Discard(entry.strDestination);
        if (dwError != ERROR_SUCCESS)
        {
            return dwError;
        }
    }
    return Move(entry.strAside, entry.strDestination);
}

DWORD SCInstallSwitch::Move(const std::wstring& strFrom, const std::wstring& strTo)
{
    const std::wstring strFromLong = AfxLongPathForm(strFrom);
    const std::wstring strToLong = AfxLongPathForm(strTo);
    for (size_t nTry = 0;; ++nTry)
    {
        if (MoveFileExW(strFromLong.c_str(), strToLong.c_str(), MOVEFILE_WRITE_THROUGH))
        {
            return ERROR_SUCCESS;
        }
        const DWORD dwError = LastErrorOrFailure();
        if (!IsInUseError(dwError) || nTry == std::size(kRetryDelaysMs))
        {
            return dwError;
        }
        // Waits in short steps, so that the dialog keeps answering.
        const ULONGLONG nUntil = GetTickCount64() + kRetryDelaysMs[nTry];
        while (GetTickCount64() < nUntil)
        {
            if (m_whileWaiting)
            {
                m_whileWaiting();
            }
            Sleep(20);
        }
    }
}

DWORD SCInstallSwitch::Discard(const std::wstring& strPath)
{
    const std::wstring strLeftover = SCLeftoverPathBeside(strPath);
    const DWORD dwError = Move(strPath, strLeftover);
    if (dwError == ERROR_SUCCESS)
    {
        // In use (a program started from it in the meantime): a later walk removes it.
        SCDiscardFile(AfxLongPathForm(strLeftover));
    }
    return dwError;
}

DWORD SCInstallSwitch::ReplaceWithStaged(const std::wstring& strStaged,
                                         const std::wstring& strDestination)
{
    const std::wstring strTemp = AfxLongPathForm(strStaged);
    const std::wstring strDest = AfxLongPathForm(strDestination);
    constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(strTemp.c_str(), strDest.c_str(), kMoveFlags))
    {
        return ERROR_SUCCESS;
    }
    DWORD dwError = LastErrorOrFailure();
    // A read-only, hidden or system destination is not replaced as it is: clear
    // its attributes and try again; it keeps them if it stays.
    const DWORD dwOldAttributes = GetFileAttributesW(strDest.c_str());
    constexpr DWORD kBlocking =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (dwError == ERROR_ACCESS_DENIED && dwOldAttributes != INVALID_FILE_ATTRIBUTES &&
        (dwOldAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (dwOldAttributes & kBlocking) != 0 &&
        SetFileAttributesW(strDest.c_str(), FILE_ATTRIBUTE_NORMAL))
    {
        if (MoveFileExW(strTemp.c_str(), strDest.c_str(), kMoveFlags))
        {
            return ERROR_SUCCESS;
        }
        dwError = LastErrorOrFailure();
        constexpr DWORD kSettable = kBlocking | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                    FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        SetFileAttributesW(strDest.c_str(), dwOldAttributes & kSettable);
    }
    SCDiscardFile(strTemp);
    return dwError;
}
