#include "app/QVSCliUpdateDlg.h"

#include "app/QVSCliUpdate.h"
#include "framework/AfxThread.h"
#include "framework/AfxWinApp.h"
#include "lib/ConfFile.h"
#include "lib/File.h"
#include "lib/CopyLeftover.h"
#include "lib/FileCopy.h"
#include "lib/InstallSwitch.h"
#include "lib/Policy.h"
#include "lib/ReleaseRecord.h"
#include "lib/ReleaseTrust.h"
#include "lib/ResString.h"
#include "lib/UpdateDue.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <vector>

namespace
{
// How long batched messages may wait before they are written into the text box, at
// least; and how many times as long as the last writing took, so that the box takes
// at most a twentieth of the run (a box of many lines is slow to update: under Wine
// some 40 ms at a time).
constexpr ULONGLONG kFlushIntervalMs = 200;
constexpr ULONGLONG kFlushCostFactor = 20;
// The size of each piece of waiting entry lines, in characters.
constexpr size_t kBottomPieceSize = 1 << 16;
// A second start waits this long for an update of the same installation to end.
constexpr DWORD kLockWaitMinutes = 5;

const wchar_t kProgramModule[] = L"QVSCliUpdate.exe";
const wchar_t kLogName[] = L"QVSCliUpdate.log";

} // namespace

std::wstring ProgramText(UINT nId)
{
    SCResUString strText;
    if (SCResUString::s_hModule != nullptr && strText.Load(nId))
    {
        return strText;
    }
    return AfxLoadString(nId);
}

std::wstring ErrorPrefix()
{
    return ProgramText(IDS_ERROR);
}

std::wstring ServerListPath(const std::wstring& strFolder)
{
    return strFolder + L"\\" + kServerListName;
}

CQVSCliUpdateDlg::CQVSCliUpdateDlg(CWnd* pParent)
    : CDialog(IDD_QVSCLIUPDATE_DIALOG, pParent), m_hIcon(nullptr)
{
    // The icon is loaded with the window (OnInitDialog): loading it makes Wine
    // connect to the display and load the theme, some 30 ms that the everyday
    // start, which never shows the dialog, does not need.
}

CQVSCliUpdateDlg::~CQVSCliUpdateDlg()
{
    // Without a window (the client was started before one was needed) nothing
    // else releases them.
    ReleaseServices();
}

bool CQVSCliUpdateDlg::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    switch (uMsg)
    {
    case WM_PAINT:
        if (IsIconic())
        {
            OnPaint();
            return true;
        }
        return false;
    case WM_QUERYDRAGICON:
        lResult = reinterpret_cast<LRESULT>(m_hIcon);
        return true;
    case WM_DESTROY:
        OnDestroy();
        return false;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_RUN && HIWORD(wParam) == BN_CLICKED)
        {
            OnRun();
            return true;
        }
        return false;
    case WM_LAUNCH_CLIENT:
        lResult = OnLaunchClient(wParam, lParam);
        return true;
    default:
        return false;
    }
}

void CQVSCliUpdateDlg::OnUnhandledException(CException* e) noexcept
{
    SC_HANDLE(e);
}

BOOL CQVSCliUpdateDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_hLog = GetDlgItem(IDC_LOG);
    if (m_hIcon == nullptr && AfxGetApp() != nullptr)
    {
        m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
    }
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    // Done already when the start tried to do without a window.
    PrepareStart();
    if (!m_strStartFailure.empty())
    {
        // Nothing can be checked or run: say why and wait for the user.
        AddLogLine(ErrorPrefix() + m_strStartFailure);
        ShowWindow(SW_SHOWNORMAL);
        FlushTextBox(true);
        return TRUE;
    }
    if (m_bLaunchOnly)
    {
        // Here only when QVS.exe could not be started without the dialog: the
        // launch tries once more and, failing again, shows why.
        ShowWindow(SW_SHOWMINIMIZED);
        PostMessage(WM_LAUNCH_CLIENT, 0, 0);
        FlushTextBox();
        return TRUE;
    }

    // Placed before it is shown: it appears where it stays.
    CenterWindow();
    ShowWindow(SW_SHOWNORMAL);
    // The first messages wait like any others: a run that reaches its walk soon
    // empties the box before anyone could read them, and a slow share shows them
    // from the waits' pumps.
    m_nNextFlush = GetTickCount64() + kFlushIntervalMs;
    // The run's first line: where the release folder and the key it trusts came from.
    AddLogLine(SettingsOriginLine());
    try
    {
        if (m_bForced)
        {
            // A forced run asks the share now, with its window up and answering.
            CheckForUpdate();
        }
        if (m_release == Release::NoAnswer)
        {
            // Only a forced run gets here: it cannot read the release's list.
            RecordRunStarted();
            NoteFailure(NotAnsweringText());
            FinishRun(FALSE, false);
            return TRUE;
        }
        if (!TakeRelease())
        {
            return TRUE;
        }
    }
    catch (...)
    {
        NoteCaught(__LINE__);
        FinishRun(FALSE, false);
        return TRUE;
    }
    BuildClientList();
    // The run starts from the modal loop, once the dialog is up: a click of the
    // hidden Run button, posted as the command it produces.
    const HWND hRun = GetDlgItem(IDC_RUN);
    if (hRun != nullptr)
    {
        PostMessage(WM_COMMAND, MAKEWPARAM(IDC_RUN, BN_CLICKED), reinterpret_cast<LPARAM>(hRun));
    }
    FlushTextBoxIfDue();
    return TRUE;
}

bool CQVSCliUpdateDlg::StartWithoutWindow()
{
    PrepareStart();
    if (!m_strStartFailure.empty() || !m_bLaunchOnly)
    {
        return false;
    }
    try
    {
        if (CQVSCliUpdateApp::StartClientProgram(CQVSCliUpdateApp::ClientProgramPath()))
        {
            WriteReport();
            return true;
        }
        return false;
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    return false;
}

void CQVSCliUpdateDlg::PrepareStart()
{
    if (m_bPrepared)
    {
        return;
    }
    m_bPrepared = true;
    if (!InitServicesAndLog() || m_bLaunchOnly)
    {
        return;
    }
    // Any argument at all forces a run; the arguments themselves are not used.
    int nArgs = 0;
    UniqueLocal args(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &nArgs)));
    m_bForced = nArgs > 1;
    args.reset();
    if (m_bForced)
    {
        // The check waits for the window, which shows that something happens.
        return;
    }
    const BOOL bDue = CheckForUpdate();
    if (m_release == Release::NoAnswer)
    {
        LaunchWithoutUpdate(NotAnsweringText());
    }
    else if (!bDue)
    {
        m_lock.Release();
        m_bLaunchOnly = true;
        if (m_bRetriesSpent)
        {
            DueReport(SCDesktopReport::Outcome::RetriesSpent,
                      ReadConfString(L"HotUpdate", L"UpdateFailureReason"));
        }
    }
}

bool CQVSCliUpdateDlg::InitServicesAndLog()
{
    std::wstring strFailure;
    m_bServicesUp = true;
    try
    {
        if (!SCResAString::LoadModule(kProgramModule) || !SCResUString::LoadModule(kProgramModule))
        {
            strFailure = AfxFormatStrings(ProgramText(IDS_CANNOT_FIND_MODULE), {kProgramModule});
            AfxThrowResourceException();
        }

        wchar_t szPath[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, szPath, MAX_PATH);
        wchar_t szDrive[3] = {};
        wchar_t szDir[256] = {};
        wchar_t szName[256] = {};
        wchar_t szExt[256] = {};
        _wsplitpath_s(szPath, szDrive, 3, szDir, 256, szName, 256, szExt, 256);
        if (!RegisterEventLogSource(szName))
        {
            strFailure = ProgramText(IDS_EVENTLOG_NOT_OPENED);
            AfxThrowResourceException();
        }

        strFailure = AfxFormatStrings(ProgramText(IDS_NO_INSTALLATION_ROOT), {GetAppFolder()});
        m_strRoot = GetAppRootFolder();
        strFailure.clear();
        m_strSource = ReadSourceFolder();
        m_dwDeadlineMs = ReadReleaseFolderTimeoutMs();
        m_dwStallMs = ReadReleaseFolderStallMs();

        // The lock is taken before the log is made anew: the log of an update
        // that is still working is not emptied under it.
        if (m_lock.Acquire(m_strRoot, kLockWaitMinutes * 60 * 1000) ==
            SCInstallationLock::Result::TimedOut)
        {
            LaunchWithoutUpdate(AfxFormatStrings(ProgramText(IDS_LOCK_TIMEOUT),
                                                 {std::to_wstring(kLockWaitMinutes)}));
            return true;
        }
        OpenLog();
        // Policy values the start could not use are said once, as the log begins.
        ReportPolicyProblems([this](const std::wstring& strLine) { AddLogLine(strLine); });
        FinishInterruptedInstall();
        return true;
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
    }
    if (strFailure.empty())
    {
        strFailure = ProgramText(IDS_START_FAILED);
    }
    m_strStartFailure = strFailure;
    return false;
}

void CQVSCliUpdateDlg::FinishInterruptedInstall()
{
    SCInstallSwitch install(m_strRoot);
    const SCSwitchResult result = install.Recover();
    switch (result.outcome)
    {
    case SCSwitchResult::Outcome::NoJournal:
        return;
    case SCSwitchResult::Outcome::Switched:
        AddLogLine(ProgramText(IDS_INSTALL_COMPLETED));
        return;
    case SCSwitchResult::Outcome::PutBack:
        AddLogLine(ProgramText(IDS_INSTALL_PUT_BACK));
        return;
    case SCSwitchResult::Outcome::Unreadable:
    {
        const std::wstring strWhy =
            AfxFormatStrings(ProgramText(IDS_INSTALL_JOURNAL_UNREADABLE), {result.strFile});
        ReportFailure(strWhy);
        LogWarningEvent(strWhy, SC_SOURCE_FILE, __LINE__);
        return;
    }
    case SCSwitchResult::Outcome::Mixed:
        // The walk would clear the files the journal still needs: no run until
        // the installation is one release again. The client starts all the same.
        LaunchWithoutUpdate(ErrorPrefix() + SCReleaseInstall::SwitchFailureText(result));
        return;
    }
}

void CQVSCliUpdateDlg::OpenLog()
{
    // A log that cannot be made only disables logging to the file. Others may read
    // it, and a second start that gave up waiting may add its line.
    const std::wstring strLog = m_strRoot + L"\\bin\\" + kLogName;
    m_logFile.reset(CreateFileW(strLog.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void CQVSCliUpdateDlg::ReleaseServices() noexcept
{
    // Once: the string modules' handles stay set after they are released.
    if (!m_bServicesUp)
    {
        return;
    }
    m_bServicesUp = false;
    DeregisterEventLogSource();
    SCResAString::FreeModule();
    SCResUString::FreeModule();
}

void CQVSCliUpdateDlg::AddLogLine(const std::wstring& strMessage)
{
    if (m_strErrorPrefix.empty())
    {
        m_strErrorPrefix = ErrorPrefix();
    }
    if (!m_strErrorPrefix.empty() && strMessage.starts_with(m_strErrorPrefix))
    {
        m_bErrorShown = true;
    }
    if (m_hLog != nullptr)
    {
        m_strPendingTop.insert(0, strMessage + L"\r\n");
        FlushTextBoxIfDue();
    }
    if (m_logFile)
    {
        WriteLogLine(m_logFile.get(), strMessage);
    }
}

void CQVSCliUpdateDlg::AppendDlgItemText(int nID, const std::wstring& strText)
{
    if (nID != IDC_LOG)
    {
        CDialog::AppendDlgItemText(nID, strText);
        return;
    }
    if (m_hLog != nullptr)
    {
        if (m_pendingBottom.empty() ||
            m_pendingBottom.back().size() + strText.size() > kBottomPieceSize)
        {
            m_pendingBottom.emplace_back().reserve(std::max(kBottomPieceSize, strText.size()));
        }
        m_pendingBottom.back() += strText;
    }
}

void CQVSCliUpdateDlg::FlushTextBox(bool bEntryLines)
{
    const ULONGLONG nStart = GetTickCount64();
    m_nNextFlush = nStart + kFlushIntervalMs;
    const HWND hLog = m_hLog;
    const bool bBottom = bEntryLines && !m_pendingBottom.empty();
    if (hLog == nullptr || (m_strPendingTop.empty() && !bBottom))
    {
        return;
    }
    if (bBottom)
    {
        for (const std::wstring& piece : m_pendingBottom)
        {
            AfxAppendEditText(hLog, piece);
        }
        m_pendingBottom.clear();
    }
    if (!m_strPendingTop.empty())
    {
        AfxPrependEditText(hLog, m_strPendingTop);
        m_strPendingTop.clear();
    }
    // The newest message is at the top: keep it in view.
    ::SendMessageW(hLog, EM_SETSEL, 0, 0);
    ::SendMessageW(hLog, EM_SCROLLCARET, 0, 0);
    m_nNextFlush =
        nStart + std::max(kFlushIntervalMs, kFlushCostFactor * (GetTickCount64() - nStart));
}

void CQVSCliUpdateDlg::FlushTextBoxIfDue()
{
    if (GetTickCount64() >= m_nNextFlush)
    {
        FlushTextBox();
    }
}

void CQVSCliUpdateDlg::PumpMessages() noexcept
{
    // Messages batched before a long wait show during it.
    FlushTextBoxIfDue();
    AfxPumpWindowMessages(m_hWnd);
}

LRESULT ProgressCallback(const std::wstring& strMessage, CWnd* pContext)
{
    auto* pDlg = dynamic_cast<CQVSCliUpdateDlg*>(pContext);
    if (pDlg == nullptr)
    {
        return 0;
    }
    pDlg->AddLogLine(strMessage);
    const HWND hDlg = pDlg->m_hWnd;
    if (!IsWindowVisible(hDlg) || IsIconic(hDlg))
    {
        pDlg->ShowWindow(SW_SHOWNORMAL);
    }
    pDlg->PumpMessages();
    return 0;
}

void CQVSCliUpdateDlg::OnRun()
{
    RunUpdate();
}

LRESULT CQVSCliUpdateDlg::OnLaunchClient(WPARAM, LPARAM)
{
    try
    {
        ShowWindow(SW_HIDE);
        const std::wstring strPath = CQVSCliUpdateApp::ClientProgramPath();
        if (!CQVSCliUpdateApp::StartClientProgram(strPath))
        {
            // The dialog stays open for the user: the box shows the whole run, and
            // then the failure on top.
            FlushTextBox(true);
            AddLogLine(SCResUString(IDS_ERROR) + strPath);
            ShowWindow(SW_SHOWNORMAL);
            FlushTextBox();
        }
        else
        {
            PostMessage(WM_CLOSE, 0, 0);
        }
        WriteReport();
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
        ShowWindow(SW_SHOWNORMAL);
        FlushTextBox(true);
    }
    return 0;
}

void CQVSCliUpdateDlg::OnPaint()
{
    PAINTSTRUCT ps;
    const HDC hdc = BeginPaint(m_hWnd, &ps);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(hdc, x, y, m_hIcon);
    EndPaint(m_hWnd, &ps);
}

void CQVSCliUpdateDlg::OnDestroy()
{
    m_hLog = nullptr;
    m_popup.reset();
    WriteReport();
    ReleaseServices();
}

void CQVSCliUpdateDlg::NoteFailure(DWORD dwError) noexcept
{
    m_failure.Note(dwError);
}

void CQVSCliUpdateDlg::NoteFailure(const std::wstring& strReason)
{
    m_failure.Note(strReason);
}

void CQVSCliUpdateDlg::NoteCaught(DWORD nLine) noexcept
{
    try
    {
        throw;
    }
    catch (CException* e)
    {
        NoteFailure(SCErrorOfException(e));
        HandleException(e, SC_SOURCE_FILE, nLine);
    }
    catch (const std::bad_alloc&)
    {
        NoteFailure(ERROR_NOT_ENOUGH_MEMORY);
    }
    catch (...)
    {
        // No code tells why: the reason is the program's own.
    }
}

std::wstring CQVSCliUpdateDlg::NotAnsweringText() const
{
    return AfxFormatStrings(ProgramText(IDS_RELEASE_NOT_ANSWERING),
                            {m_strSource, std::to_wstring(m_dwDeadlineMs / 1000)});
}

std::wstring CQVSCliUpdateDlg::FailureReason() const
{
    return m_failure.Text(ProgramText(IDS_RUN_STOPPED));
}

void CQVSCliUpdateDlg::ReportListFailure(FileListKind kind, const std::wstring& strFolder)
{
    const DWORD dwError = GetListFileError(kind);
    NoteFailure(dwError);
    std::wstring strPath = strFolder;
    if (strPath.empty() || strPath.back() != L'\\')
    {
        strPath += L'\\';
    }
    strPath += kind == FileListKind::Server ? kServerListName : kClientListName;
    ReportFailure(AfxSystemErrorLine(dwError) + L" " + strPath);
}

void CQVSCliUpdateDlg::ReportFailure(const std::wstring& strWhat)
{
    AddLogLine(ErrorPrefix() + strWhat);
}

void CQVSCliUpdateDlg::LaunchWithoutUpdate(const std::wstring& strWhy)
{
    if (m_logFile)
    {
        AddLogLine(strWhy);
    }
    else if (!m_strRoot.empty())
    {
        // The lock's holder has the log: the line is added at its end.
        const UniqueFile log(CreateFileW((m_strRoot + L"\\bin\\" + kLogName).c_str(),
                                         FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (log)
        {
            WriteLogLine(log.get(), strWhy);
        }
    }
    LogWarningEvent(strWhy, SC_SOURCE_FILE, __LINE__);
    m_lock.Release();
    m_bLaunchOnly = true;
}

BOOL CQVSCliUpdateDlg::BuildClientList()
{
    BOOL bResult = FALSE;
    m_bInventorySaved = false;
    const std::wstring strClientList = m_strRoot + L"\\" + kClientListName;
    // The walk's own lines about files it could not read do not say why the
    // inventory failed: this flag tells whether that was said.
    bool bReported = false;
    try
    {
        // Emptying a box that holds lines costs Wine a layout; an empty one none.
        if (m_hLog != nullptr && ::GetWindowTextLengthW(m_hLog) != 0)
        {
            SetDlgItemText(IDC_LOG, L"");
        }
        m_strPendingTop.clear();
        m_pendingBottom.clear();
        ClearList(FileListKind::Client);
        m_iterator.SetRootFolder(m_strRoot);
        // One popup for the walk and the copy: the window is made once.
        m_popup.emplace();
        m_iterator.Walk(FileListKind::Client, &ProgressCallback, this);
        if (!OpenListFile(FileListKind::Client, m_strRoot))
        {
            ReportListFailure(FileListKind::Client, m_strRoot);
            bReported = true;
            SC_THROW(SC_NO_CODE);
        }
        TruncateListFile(FileListKind::Client);
        AddLogLine(SCResUString(IDS_SAVING_TO) + strClientList + L"\r\n\r\n");
        if (!WriteList(FileListKind::Client))
        {
            // A list that is not whole would make the run copy what the
            // installation already has, older over newer: the run stops.
            ReportListFailure(FileListKind::Client, m_strRoot);
            bReported = true;
            SC_THROW(SC_NO_CODE);
        }
        CloseListFile(FileListKind::Client);
        ClearList(FileListKind::Client);
        m_bInventorySaved = true;
        bResult = TRUE;
    }
    catch (...)
    {
        // Whatever it is, an error of the walk's helpers among them, it ends the
        // inventory as a raise would.
        NoteCaught(__LINE__);
    }
    if (!bResult)
    {
        if (!bReported)
        {
            ReportFailure(FailureReason() + L" " + strClientList);
        }
        CloseListFile(FileListKind::Client);
        ClearList(FileListKind::Client);
    }
    FlushTextBoxIfDue();
    return bResult;
}

BOOL CQVSCliUpdateDlg::RunUpdate()
{
    BOOL bResult = FALSE;
    // Lines of the walk about files it could not read are not the run's failure.
    m_bErrorShown = !m_bInventorySaved && m_bErrorShown;
    bool bLaunchPosted = false;
    try
    {
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        if (!m_bInventorySaved)
        {
            // The inventory said why it is missing; nothing is copied without it.
            SC_THROW(SC_NO_CODE);
        }
        // The copy taken of the release list describes the release being installed.
        // Without one there is no release to install: the check found none (and
        // the share is not asked again, at a moment it could stop answering).
        if (GetFileAttributesW(AfxLongPathForm(ServerListPath(m_strRoot)).c_str()) ==
            INVALID_FILE_ATTRIBUTES)
        {
            NoteFailure(m_dwProbeError);
            ReportFailure(AfxSystemErrorLine(m_dwProbeError) + L" " + ServerListPath(m_strSource));
            SC_THROW(SC_NO_CODE);
        }
        // The release's record of sizes and hashes, when it belongs to the list the
        // run installs, checks every copy before it replaces an installed file. Read
        // before the lists, so that reading it never adds to their memory.
        // With a ReleaseKey the record was read and checked as the list was taken.
        m_trust = SCReleaseTrustSettings::Read();
        const bool bSignedStamps = !m_trust.strReleaseKey.empty();
        std::wstring strNotVerified;
        const std::shared_ptr<const SCReleaseRecord> pRecord =
            m_pTrustedRecord != nullptr
                ? m_pTrustedRecord
                : LoadReleaseRecord(ServerListPath(m_strRoot), strNotVerified);
        if (pRecord == nullptr)
        {
            // The share stopped answering: the client starts, the next start retries.
            NoteFailure(m_strStalled);
            ReportFailure(m_strStalled);
            PostMessage(WM_LAUNCH_CLIENT, 0, 0);
            bLaunchPosted = true;
            SC_THROW(SC_NO_CODE);
        }
        const bool bVerified = pRecord->GetState() == SCReleaseRecord::State::Loaded;
        if (!OpenListFile(FileListKind::Server, m_strRoot))
        {
            ReportListFailure(FileListKind::Server, m_strRoot);
            SC_THROW(SC_NO_CODE);
        }
        if (!OpenListFile(FileListKind::Client, m_strRoot))
        {
            ReportListFailure(FileListKind::Client, m_strRoot);
            SC_THROW(SC_NO_CODE);
        }
        if (!ReadList(FileListKind::Server))
        {
            ReportListFailure(FileListKind::Server, m_strRoot);
            SC_THROW(SC_NO_CODE);
        }
        if (!ReadList(FileListKind::Client))
        {
            ReportListFailure(FileListKind::Client, m_strRoot);
            SC_THROW(SC_NO_CODE);
        }
        FileList& plan = CompareLists(bSignedStamps);
        if (!TrustRelease(*pRecord, plan))
        {
            SC_THROW(SC_NO_CODE);
        }
        if (!bVerified)
        {
            AddLogLine(strNotVerified);
        }
        if (!SCFileIterator::CopyFiles(&plan, &ProgressCallback, this,
                                       bVerified ? pRecord.get() : nullptr, m_dwStallMs,
                                       bSignedStamps))
        {
            // The system has no words for some failures: the program's own say it.
            NoteFailure(SCFileIterator::GetFirstCopyReason());
            NoteFailure(SCFileIterator::GetFirstCopyError());
            SC_THROW(SC_NO_CODE);
        }
        m_logFile.reset();
        bResult = TRUE;
    }
    catch (...)
    {
        NoteCaught(__LINE__);
    }
    m_popup.reset();
    ClearList(FileListKind::Server);
    ClearList(FileListKind::Client);
    CloseListFile(FileListKind::Server);
    CloseListFile(FileListKind::Client);
    // A start of the client is on its way when the copy got as far as posting it.
    MSG msg;
    const bool bLaunching =
        bLaunchPosted ||
        PeekMessageW(&msg, m_hWnd, WM_LAUNCH_CLIENT, WM_LAUNCH_CLIENT, PM_NOREMOVE) != FALSE;
    FinishRun(bResult, bLaunching);
    return bResult;
}

void CQVSCliUpdateDlg::FinishRun(BOOL bSucceeded, bool bLaunchPending)
{
    if (!bSucceeded && !m_bErrorShown)
    {
        ReportFailure(FailureReason());
    }
    const bool bStays = !bSucceeded && KeepsUserWaiting(m_bForced, m_nRunOfRelease, bLaunchPending);
    // The box is written only for a user who will read it: a dialog that does not
    // stay is hidden for the client's start before it paints again, and should the
    // client not start, the lines still waiting are written then.
    if (bStays)
    {
        FlushTextBox(true);
    }
    RecordUpdateResult(bSucceeded);
    // The work is over: a second start may go on, even while this dialog waits.
    m_lock.Release();
    DueReport(bSucceeded ? SCDesktopReport::Outcome::Succeeded : SCDesktopReport::Outcome::Failed,
              bSucceeded ? std::wstring() : FailureReason());
    if (!bLaunchPending && !bStays)
    {
        PostMessage(WM_LAUNCH_CLIENT, 0, 0);
    }
    else if (bStays)
    {
        // The client is not started until the user has read why.
        WriteReport();
    }
}

void CQVSCliUpdateDlg::RecordUpdateResult(BOOL bSucceeded)
{
    try
    {
        // The reason is the first failure's own, on one line so that it cannot
        // break the ini file's structure.
        const std::wstring strReason = bSucceeded ? std::wstring() : FailureReason();
        WriteUpdateResult(bSucceeded != FALSE, SCDateTime::GetCurrentTime(), strReason);
        if (bSucceeded)
        {
            SCFailedRuns runs = ReadFailedRuns();
            runs.nRuns = 0;
            WriteFailedRuns(runs);
        }
        else
        {
            LogWarningEvent(strReason, SC_SOURCE_FILE, __LINE__);
        }
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
}

// ---- The desktop report ----

void CQVSCliUpdateDlg::DueReport(SCDesktopReport::Outcome outcome, const std::wstring& strReason)
{
    m_report.strRoot = m_strRoot;
    m_report.strRelease = ReleaseListTime();
    m_report.outcome = outcome;
    m_report.strReason = strReason;
    m_report.nDurationMs = GetTickCount64() - m_nStartTick;
    m_report.nFilesCopied = SCFileIterator::GetFilesCopied();
    m_report.nBytesCopied = SCFileIterator::GetBytesCopied();
    m_report.nBytesRead = SCFileIterator::GetBytesRead();
    m_bReportDue = true;
}

void CQVSCliUpdateDlg::WriteReport() noexcept
{
    if (!m_bReportDue)
    {
        return;
    }
    m_bReportDue = false;
    try
    {
        const std::wstring strFolder = ReadReportFolder();
        if (strFolder.empty())
        {
            return;
        }
        m_report.FillWhoAndWhen();
        const SCReportWriteResult result = WriteDesktopReport(strFolder, m_report, m_dwDeadlineMs);
        if (result.bAnswered && result.dwError == ERROR_SUCCESS)
        {
            return;
        }
        const std::wstring strWhy =
            result.bAnswered
                ? AfxFormatStrings(ProgramText(IDS_REPORT_NOT_WRITTEN),
                                   {strFolder, AfxSystemErrorLine(result.dwError)})
                : AfxFormatStrings(ProgramText(IDS_REPORT_NOT_ANSWERING),
                                   {strFolder, std::to_wstring(m_dwDeadlineMs / 1000)});
        if (m_logFile)
        {
            AddLogLine(strWhy);
            FlushTextBox();
            return;
        }
        // A run that succeeded has closed its log: the line is added at its end.
        const UniqueFile log(CreateFileW((m_strRoot + L"\\bin\\" + kLogName).c_str(),
                                         FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (log)
        {
            WriteLogLine(log.get(), strWhy);
        }
    }
    catch (...)
    {
        // A report is never worth more than the client's start.
    }
}
