// The hot-update dialog's look at the release: whether one is due, and the taking
// of its list and record, which nothing of the share is believed before. (The rest
// of the dialog: QVSCliUpdateDlg.cpp.)
#include "app/QVSCliUpdateDlg.h"

#include "framework/AfxThread.h"
#include "framework/AfxWinApp.h"
#include "lib/ConfFile.h"
#include "lib/CopyLeftover.h"
#include "lib/File.h"
#include "lib/FileCopy.h"
#include "lib/InstallSwitch.h"
#include "lib/ReleaseRecord.h"
#include "lib/ReleaseTrust.h"
#include "lib/ResString.h"
#include "lib/UpdateDue.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <atomic>
#include <functional>
#include <memory>
#include <new>

void CQVSCliUpdateDlg::ProbeRelease(bool bPump)
{
    struct Probe
    {
        bool bFound = false;
        DWORD dwError = ERROR_SUCCESS;
        FILETIME ftWrite{};
        ULONGLONG nBytes = 0;
    };
    auto pProbe = std::make_shared<Probe>();
    const std::wstring strList = AfxLongPathForm(ServerListPath(m_strSource));
    std::function<void()> whileWaiting;
    if (bPump)
    {
        whileWaiting = [this] { PumpMessages(); };
    }
    // The first access to a share whose server is away can take the system a
    // minute to give up: the user does not wait for it.
    const bool bAnswered = AfxRunWithDeadline(
        [pProbe, strList](std::atomic<ULONGLONG>&)
        {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (GetFileAttributesExW(strList.c_str(), GetFileExInfoStandard, &data) &&
                (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            {
                pProbe->bFound = true;
                pProbe->ftWrite = data.ftLastWriteTime;
                pProbe->nBytes =
                    (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            }
            else
            {
                pProbe->dwError = GetLastError();
            }
        },
        m_dwDeadlineMs, whileWaiting);
    if (!bAnswered)
    {
        m_release = Release::NoAnswer;
        return;
    }
    m_release = pProbe->bFound ? Release::Found : Release::Missing;
    m_dwProbeError = pProbe->bFound                     ? ERROR_SUCCESS
                     : pProbe->dwError != ERROR_SUCCESS ? pProbe->dwError
                                                        : ERROR_FILE_NOT_FOUND;
    if (pProbe->bFound)
    {
        m_dtRelease = ListTimeOfFileTime(pProbe->ftWrite);
        m_nReleaseListBytes = pProbe->nBytes;
    }
}

std::wstring CQVSCliUpdateDlg::ReleaseListTime() const
{
    if (m_release == Release::Found)
    {
        return m_dtRelease.Format(IDS_DATETIME_PATTERN);
    }
    return m_bLocalFound ? m_dtLocal.Format(IDS_DATETIME_PATTERN) : std::wstring();
}

BOOL CQVSCliUpdateDlg::CheckForUpdate()
{
    BOOL bNeeded = FALSE;
    try
    {
        ProbeRelease(m_hWnd != nullptr);
        WIN32_FILE_ATTRIBUTE_DATA local{};
        m_bLocalFound = GetFileAttributesExW(AfxLongPathForm(ServerListPath(m_strRoot)).c_str(),
                                             GetFileExInfoStandard, &local) != FALSE;
        if (m_bLocalFound)
        {
            m_dtLocal = ListTimeOfFileTime(local.ftLastWriteTime);
        }
        SCUpdateFacts facts;
        facts.bReleaseFound = m_release == Release::Found;
        facts.dtRelease = m_dtRelease;
        facts.bLocalFound = m_bLocalFound;
        facts.dtLocal = m_dtLocal;
        facts.bForced = m_bForced;
        // Only a list older than the copy asks QVS.ini more: the everyday start
        // reads no more than it must.
        facts.bAnyChange = facts.bReleaseFound && m_bLocalFound && m_dtLocal > m_dtRelease &&
                           !SCReleaseTrustSettings::Read().strReleaseKey.empty();
        m_bNewRelease = IsNewRelease(facts);
        // The everyday start with nothing new reads no more of QVS.ini than it must.
        if (facts.bReleaseFound && !m_bNewRelease)
        {
            facts.strLastOutcome = ReadConfString(L"HotUpdate", L"UpdateSucceeded");
        }
        if (!NeedsRunHistory(facts))
        {
            return FALSE;
        }
        facts.runs = ReadFailedRuns();
        switch (DecideUpdate(facts, ReleaseListTime()))
        {
        case SCUpdateDecision::Due:
            bNeeded = TRUE;
            break;
        case SCUpdateDecision::RetriesSpent:
            m_bRetriesSpent = true;
            AddLogLine(AfxFormatStrings(
                ProgramText(IDS_RETRIES_SPENT),
                {facts.runs.strReleaseListTime, std::to_wstring(facts.runs.nRuns)}));
            break;
        case SCUpdateDecision::NotDue:
            break;
        }
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
    }
    return bNeeded;
}

bool CQVSCliUpdateDlg::TakeRelease()
{
    const std::wstring strLocalCopy = ServerListPath(m_strRoot);
    const std::wstring strList = ServerListPath(m_strSource);
    std::wstring strTemp;
    SCCopyResult copied;
    copied.outcome = SCCopyOutcome::Copied;
    if (m_release == Release::Found && m_bNewRelease)
    {
        // What the share says is trusted only within bounds: a list larger than any
        // release's is not copied at all.
        if (m_nReleaseListBytes > kMaxListBytes)
        {
            return RefuseList(m_nReleaseListBytes);
        }
        // A copy of the list that was cut short by an end of the process is cleared first.
        SCRemoveEndedRunLeftovers(m_strRoot);
        // The list is copied beside its local copy and takes its place only once
        // the run is recorded as started (and, with a ReleaseKey, the release's
        // signed record vouches for it): a copy left behind by a share that stopped
        // answering never makes the release look seen.
        strTemp = SCLeftoverPathBeside(strLocalCopy);
        auto pCopied = std::make_shared<SCCopyResult>();
        const bool bAnswered = AfxRunWithDeadline(
            [pCopied, strList, strTemp](std::atomic<ULONGLONG>& lastSign)
            {
                SCFileCopy copier(false);
                *pCopied = copier.Copy(strList, strTemp, nullptr, lastSign, nullptr, kMaxListBytes);
            },
            m_dwStallMs, [this] { PumpMessages(); });
        if (!bAnswered)
        {
            // The run ends as failed, the client starts, and the next start tries
            // again (within the bound on runs, so that a share that stalls every
            // morning does not cost every morning the wait).
            RecordRunStarted();
            NoteFailure(SCReleaseInstall::StalledReason(m_strSource, strList, m_dwStallMs));
            PostMessage(WM_LAUNCH_CLIENT, 0, 0);
            FinishRun(FALSE, true);
            return false;
        }
        copied = *pCopied;
        if (copied.outcome == SCCopyOutcome::Failed && copied.dwError == ERROR_FILE_TOO_LARGE)
        {
            return RefuseList(kMaxListBytes + 1);
        }
    }
    RecordRunStarted();
    if (strTemp.empty())
    {
        return true;
    }
    if (copied.outcome == SCCopyOutcome::Copied)
    {
        if (!TrustListBeforeTaking(strTemp))
        {
            SCDiscardFile(AfxLongPathForm(strTemp));
            return false;
        }
        const DWORD dwError = SCInstallSwitch::ReplaceWithStaged(strTemp, strLocalCopy);
        if (dwError == ERROR_SUCCESS)
        {
            return true;
        }
        copied.outcome = SCCopyOutcome::Failed;
        copied.dwError = dwError;
    }
    // Without its list the release cannot be installed.
    if (copied.outcome == SCCopyOutcome::Changed)
    {
        const std::wstring strWhy =
            AfxFormatStrings(ProgramText(IDS_CHANGED_WHILE_COPIED), {strList});
        NoteFailure(strWhy);
        ReportFailure(strWhy);
    }
    else
    {
        NoteFailure(copied.dwError);
        ReportFailure(AfxSystemErrorLine(copied.dwError) + L" " + strList);
    }
    FinishRun(FALSE, false);
    return false;
}

bool CQVSCliUpdateDlg::RefuseList(ULONGLONG nBytes)
{
    const std::wstring strWhy = AfxFormatStrings(
        ProgramText(IDS_LIST_TOO_LARGE),
        {ServerListPath(m_strSource), std::to_wstring(nBytes), std::to_wstring(kMaxListBytes)});
    RecordRunStarted();
    NoteFailure(strWhy);
    ReportFailure(strWhy);
    // A bad release, not a list that could not be read: the user is not asked.
    PostMessage(WM_LAUNCH_CLIENT, 0, 0);
    FinishRun(FALSE, true);
    return false;
}

bool CQVSCliUpdateDlg::TrustListBeforeTaking(const std::wstring& strListCopy)
{
    m_trust = SCReleaseTrustSettings::Read();
    if (m_trust.strReleaseKey.empty())
    {
        return true;
    }
    // Nothing of a list is believed before the signed record that names its digest:
    // the record is read (within its bounds) and checked now, and kept for the run.
    std::wstring strNotVerified;
    m_pTrustedRecord = LoadReleaseRecord(strListCopy, strNotVerified);
    if (m_pTrustedRecord == nullptr)
    {
        NoteFailure(m_strStalled);
        ReportFailure(m_strStalled);
        PostMessage(WM_LAUNCH_CLIENT, 0, 0);
        FinishRun(FALSE, true);
        return false;
    }
    const SCReleaseTrustDecision decision =
        CheckReleaseTrust(m_trust, m_strSource, *m_pTrustedRecord, FileList());
    if (decision.verdict != SCReleaseTrustDecision::Verdict::Refused)
    {
        return true;
    }
    m_pTrustedRecord.reset();
    NoteFailure(decision.strText);
    ReportFailure(decision.strText);
    // Nothing was copied: the user goes on to the client without being asked.
    PostMessage(WM_LAUNCH_CLIENT, 0, 0);
    FinishRun(FALSE, true);
    return false;
}

std::shared_ptr<const SCReleaseRecord>
CQVSCliUpdateDlg::LoadReleaseRecord(const std::wstring& strListPath, std::wstring& strNotVerified)
{
    const std::wstring strRecord = m_strSource + L"\\" + kReleaseRecordName;
    // Read on a thread of its own: the record lies on the share. The thread may be
    // left behind, so the record belongs to what it shares with this one.
    struct Load
    {
        SCReleaseRecord record;
        BOOL bLoaded = FALSE;
    };
    auto pLoad = std::make_shared<Load>();
    const bool bAnswered = AfxRunWithDeadline(
        [pLoad, strRecord, strListPath](std::atomic<ULONGLONG>& lastSign)
        { pLoad->bLoaded = pLoad->record.LoadFor(strRecord, strListPath, &lastSign); },
        m_dwStallMs, [this] { PumpMessages(); });
    if (!bAnswered)
    {
        m_strStalled = SCReleaseInstall::StalledReason(m_strSource, strRecord, m_dwStallMs);
        return nullptr;
    }
    std::shared_ptr<const SCReleaseRecord> pRecord(pLoad, &pLoad->record);
    if (pLoad->bLoaded)
    {
        return pRecord;
    }
    // Releases published before records existed, and records of another list,
    // install as they always did; the log says that nothing was checked.
    switch (pRecord->GetState())
    {
    case SCReleaseRecord::State::Missing:
        strNotVerified = AfxFormatStrings(ProgramText(IDS_RECORD_MISSING), {m_strSource});
        break;
    case SCReleaseRecord::State::OtherList:
        strNotVerified = AfxFormatStrings(ProgramText(IDS_RECORD_OTHER_LIST), {strRecord});
        break;
    default:
        strNotVerified = AfxFormatStrings(ProgramText(IDS_RECORD_UNREADABLE),
                                          {strRecord, SCRecordProblem(*pRecord)});
        break;
    }
    return pRecord;
}

bool CQVSCliUpdateDlg::TrustRelease(const SCReleaseRecord& record, const FileList& plan)
{
    const SCReleaseTrustDecision decision = CheckReleaseTrust(m_trust, m_strSource, record, plan);
    switch (decision.verdict)
    {
    case SCReleaseTrustDecision::Verdict::NotRequired:
        return true;
    case SCReleaseTrustDecision::Verdict::Accepted:
    {
        AddLogLine(decision.strText);
        const DWORD dwError = RecordReleaseAtCopyStart(decision);
        if (dwError == ERROR_SUCCESS)
        {
            return true;
        }
        // Without the number and the pin kept, the copy would leave the door open
        // to an older release.
        NoteFailure(dwError);
        ReportFailure(AfxSystemErrorLine(dwError) + L" " + GetAppFolder() + L"QVS.ini");
        break;
    }
    case SCReleaseTrustDecision::Verdict::Refused:
        NoteFailure(decision.strText);
        ReportFailure(decision.strText);
        break;
    }
    // Nothing was copied: the user goes on to the client without being asked.
    PostMessage(WM_LAUNCH_CLIENT, 0, 0);
    return false;
}

void CQVSCliUpdateDlg::RecordRunStarted()
{
    try
    {
        const std::wstring strRelease = ReleaseListTime();
        const SCFailedRuns runs = CountRunStarted(ReadFailedRuns(), strRelease);
        m_nRunOfRelease = runs.nRuns;
        // Recorded before the release counts as seen, so that no moment is left at
        // which an end of the process would lose the update: until the run records
        // its outcome, the next start finds it failed and runs it again.
        WriteUpdateResult(false, SCDateTime::GetCurrentTime(), ProgramText(IDS_RUN_NOT_FINISHED));
        WriteFailedRuns(runs);
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
}
