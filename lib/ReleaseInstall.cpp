#include "lib/ReleaseInstall.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "framework/AfxThread.h"
#include "framework/AfxWinApp.h"
#include "lib/FileHolders.h"
#include "lib/InstallStage.h"
#include "lib/ResString.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <algorithm>
#include <memory>
#include <mutex>

namespace
{
// The system's text for an error code, exactly as the system gives it (line end
// included), as the copy lines have always shown it.
std::wstring SystemMessageText(DWORD dwError)
{
    return AfxSystemErrorText(dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));
}

std::wstring NotReleaseText(const std::wstring& strShown)
{
    return AfxFormatStrings(SCResUString(IDS_NOT_RELEASE_FILE), {strShown});
}

std::wstring ChangedText(const std::wstring& strShown)
{
    return AfxFormatStrings(SCResUString(IDS_CHANGED_WHILE_COPIED), {strShown});
}

// 1234567 as "1,234,567".
std::wstring Grouped(ULONGLONG n)
{
    std::wstring digits = std::to_wstring(n);
    for (size_t nAt = digits.size(); nAt > 3; nAt -= 3)
    {
        digits.insert(nAt - 3, 1, L',');
    }
    return digits;
}
} // namespace

struct SCReleaseInstall::Staging
{
    std::shared_ptr<SCStageRun> pRun = std::make_shared<SCStageRun>();
};

SCReleaseInstall::SCReleaseInstall(const std::wstring& strRoot, SCProgressCallback pfnCallback,
                                   CWnd* pWnd, const SCReleaseRecord* pRecord, DWORD dwStallMs,
                                   bool bSignedStamps)
    : m_strRoot(strRoot), m_pfnCallback(pfnCallback), m_pWnd(pWnd), m_pRecord(pRecord),
      m_dwStallMs(dwStallMs), m_bSignedStamps(bSignedStamps)
{
}

BOOL SCReleaseInstall::Install(const FileList& list)
{
    Staging staging;
    staging.pRun->bHashing = m_pRecord != nullptr;
    staging.pRun->items = SCPlanInstall(list, m_strRoot, m_pRecord, m_bSignedStamps);
    if (staging.pRun->items.empty())
    {
        return TRUE;
    }
    return ReportRefusals(staging) && Stage(staging) && Switch(staging) ? TRUE : FALSE;
}

bool SCReleaseInstall::ReportRefusals(const Staging& staging)
{
    // Known before a byte is read: each is named, and nothing is begun.
    bool bAllPlanned = true;
    for (const SCInstallItem& item : staging.pRun->items)
    {
        if (item.kind != SCInstallItem::Kind::Copy)
        {
            bAllPlanned = false;
            ReportItem(item);
        }
    }
    return bAllPlanned;
}

bool SCReleaseInstall::Stage(Staging& staging)
{
    const std::shared_ptr<SCStageRun>& pRun = staging.pRun;
    std::vector<SCInstallItem>& items = pRun->items;
    size_t nReported = 0;
    bool bAllStaged = true;
    const auto reportUpTo = [&](size_t nUpTo)
    {
        for (; nReported < nUpTo; ++nReported)
        {
            bAllStaged = ReportItem(items[nReported]) && bAllStaged;
        }
    };
    const auto finished = [&pRun]
    {
        const std::lock_guard<std::mutex> lock(pRun->mutex);
        return pRun->nDone;
    };
    // On a thread of its own, so that a share that stops answering never stops the
    // dialog from answering; each finished file is reported here, in the list's order.
    const HWND hWnd = AfxGetSafeHwnd(m_pWnd);
    const bool bEnded = AfxRunWithDeadline(
        [pRun](std::atomic<ULONGLONG>& lastSign) { SCStageItems(*pRun, lastSign); }, m_dwStallMs,
        [&]
        {
            reportUpTo(finished());
            if (hWnd != nullptr)
            {
                AfxPumpWindowMessages(hWnd);
            }
        });
    size_t nDone = 0;
    size_t nReading = 0;
    bool bFailed = false;
    bool bNoSpace = false;
    {
        const std::lock_guard<std::mutex> lock(pRun->mutex);
        pRun->bAbandoned = true;
        nDone = pRun->nDone;
        nReading = std::max(pRun->nReading, nDone);
        bFailed = pRun->bFailed;
        bNoSpace = pRun->bNoSpace;
    }
    reportUpTo(nDone);
    if (bNoSpace)
    {
        const SCSpaceShortfall& shortfall = pRun->shortfall;
        const std::wstring strReason = AfxFormatStrings(
            SCResUString(IDS_INSTALL_NO_SPACE),
            {Grouped(shortfall.nNeeded), shortfall.strFolder, Grouped(shortfall.nFree)});
        NoteFailure(kNoSpaceError, strReason);
        Say(SCResUString(IDS_ERROR) + strReason + L"\r\n");
        bAllStaged = false;
    }
    else if (nDone < items.size() && !bFailed)
    {
        // Left behind in a call to the share, or out of memory.
        bAllStaged = false;
        if (!bEnded)
        {
            // The file that was being read when the share went silent.
            const SCInstallItem& item = items[std::min(nReading, items.size() - 1)];
            const std::wstring strReason =
                StalledReason(item.strFolder, item.strShown, m_dwStallMs);
            NoteFailure(kStalledError, strReason);
            Say(SCResUString(IDS_ERROR) + strReason + L"\r\n");
        }
        else
        {
            NoteFailure(ERROR_NOT_ENOUGH_MEMORY);
            Say(SCResUString(IDS_ERROR) + SystemMessageText(ERROR_NOT_ENOUGH_MEMORY));
        }
    }
    for (size_t n = 0; n < nDone; ++n)
    {
        m_nShareBytes += items[n].result.nShareBytes;
        if (items[n].result.outcome == SCCopyOutcome::Copied)
        {
            m_nCopiedBytes += items[n].result.nBytes;
        }
    }
    if (bAllStaged)
    {
        // What the share served against what it would have served whole.
        Say(AfxFormatStrings(SCResUString(IDS_BYTES_READ),
                             {Grouped(m_nCopiedBytes), Grouped(m_nShareBytes)}));
    }
    else
    {
        // The installation stays as it is: what was staged goes.
        for (size_t n = 0; n < nDone; ++n)
        {
            if (!items[n].strStaged.empty())
            {
                SCDiscardFile(AfxLongPathForm(items[n].strStaged));
            }
        }
    }
    return bAllStaged;
}

bool SCReleaseInstall::Switch(Staging& staging)
{
    std::vector<SCSwitchEntry> entries;
    entries.reserve(staging.pRun->items.size());
    for (const SCInstallItem& item : staging.pRun->items)
    {
        entries.push_back({item.strDestination, item.strStaged, {}});
    }
    SCInstallSwitch::NameAsides(entries);
    const HWND hWnd = AfxGetSafeHwnd(m_pWnd);
    SCInstallSwitch install(m_strRoot,
                            [hWnd]
                            {
                                if (hWnd != nullptr)
                                {
                                    AfxPumpWindowMessages(hWnd);
                                }
                            });
    const SCSwitchResult result = install.Switch(entries);
    if (result.outcome == SCSwitchResult::Outcome::Switched)
    {
        m_nInstalled = static_cast<unsigned>(result.nFiles);
        return true;
    }
    const std::wstring strReason = SwitchFailureText(result);
    NoteFailure(kSwitchError, strReason);
    Say(SCResUString(IDS_ERROR) + strReason + L"\r\n");
    return false;
}

bool SCReleaseInstall::ReportItem(const SCInstallItem& item)
{
    bool bStaged = false;
    try
    {
        std::wstring strMessage;
        switch (item.kind)
        {
        case SCInstallItem::Kind::Refused:
            NoteFailure(ERROR_BAD_PATHNAME);
            strMessage =
                SCResUString(IDS_ERROR) +
                AfxFormatStrings(SCResUString(IDS_NOT_COPIED), {item.strSource, item.strRefusal}) +
                L"\r\n";
            break;
        case SCInstallItem::Kind::NotInRecord:
            // Not in the record: nothing is known that it could match.
            NoteFailure(kNotReleaseError, NotReleaseText(item.strShown));
            strMessage = SCResUString(IDS_ERROR) + NotReleaseText(item.strShown) + L"\r\n";
            break;
        case SCInstallItem::Kind::Copy:
            SayDeltaOutcome(item);
            switch (item.result.outcome)
            {
            case SCCopyOutcome::Copied:
                bStaged = true;
                strMessage = SCResUString(IDS_COPYING) + item.strShown;
                break;
            case SCCopyOutcome::NotRelease:
                NoteFailure(kNotReleaseError, NotReleaseText(item.strShown));
                strMessage = SCResUString(IDS_ERROR) + NotReleaseText(item.strShown) + L"\r\n";
                break;
            case SCCopyOutcome::Changed:
                NoteFailure(kChangedError, ChangedText(item.strShown));
                strMessage = SCResUString(IDS_ERROR) + ChangedText(item.strShown) + L"\r\n";
                break;
            case SCCopyOutcome::Failed:
                NoteFailure(item.result.dwError);
                strMessage = SCResUString(IDS_ERROR) + SystemMessageText(item.result.dwError);
                break;
            }
            break;
        }
        Say(strMessage);
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
    return bStaged;
}

void SCReleaseInstall::SayDeltaOutcome(const SCInstallItem& item)
{
    switch (item.delta)
    {
    case SCDeltaOutcome::Built:
    case SCDeltaOutcome::Whole:
        return;
    case SCDeltaOutcome::NotRelease:
        Say(AfxFormatStrings(SCResUString(IDS_BLOCKS_NOT_RELEASE), {item.strShown}));
        return;
    case SCDeltaOutcome::IndexRefused:
        Say(AfxFormatStrings(SCResUString(IDS_BLOCK_INDEX_REFUSED),
                             {item.strIndex, item.strShown}));
        return;
    case SCDeltaOutcome::IndexUnreadable:
        Say(AfxFormatStrings(
            SCResUString(IDS_BLOCK_INDEX_UNREADABLE),
            {item.strIndex, AfxSystemErrorLine(item.dwDeltaError), item.strShown}));
        return;
    }
}

void SCReleaseInstall::Say(const std::wstring& strMessage)
{
    if (m_pfnCallback != nullptr)
    {
        m_pfnCallback(strMessage, m_pWnd);
    }
}

void SCReleaseInstall::NoteFailure(DWORD dwError, const std::wstring& strReason)
{
    if (m_dwFirstError == ERROR_SUCCESS)
    {
        m_dwFirstError = dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
        m_strFirstReason = strReason;
    }
}

std::wstring SCReleaseInstall::StalledReason(std::wstring strFolder, const std::wstring& strFile,
                                             DWORD dwStallMs)
{
    while (strFolder.size() > 1 && strFolder.back() == L'\\')
    {
        strFolder.pop_back();
    }
    return AfxFormatStrings(SCResUString(IDS_RELEASE_STALLED),
                            {strFolder, strFile, std::to_wstring(dwStallMs / 1000)});
}

std::wstring SCReleaseInstall::SwitchFailureText(const SCSwitchResult& result)
{
    const std::wstring strWhy = AfxSystemErrorLine(result.dwError);
    if (result.outcome == SCSwitchResult::Outcome::Mixed)
    {
        return AfxFormatStrings(SCResUString(IDS_INSTALL_NOT_PUT_BACK), {result.strFile, strWhy});
    }
    const std::wstring strHolders = SCDescribeFileHolders(result.strFile);
    if (!strHolders.empty())
    {
        return AfxFormatStrings(SCResUString(IDS_INSTALL_HELD_BY),
                                {result.strFile, strWhy, strHolders});
    }
    return AfxFormatStrings(SCResUString(IDS_INSTALL_NOT_SWITCHED), {result.strFile, strWhy});
}
