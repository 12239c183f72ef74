#include "app/QVSCliUpdateDlg.h"

#include "app/QVSCliUpdate.h"
#include "lib/ConfFile.h"
#include "lib/File.h"
#include "lib/Miscellaneous.h"
#include "lib/ResString.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
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

const wchar_t kProgramModule[] = L"QVSCliUpdate.exe";
const wchar_t kLogName[] = L"QVSCliUpdate.log";

// "Error!.." from the string table, or as written when the table cannot be read.
std::wstring ErrorPrefix()
{
    SCResUString strError;
    if (SCResUString::s_hModule == nullptr || !strError.Load(IDS_ERROR))
    {
        return L"Error!..";
    }
    return strError;
}

bool FileExists(const std::wstring& strPath)
{
    SCFileIterator finder;
    const bool bFound = finder.FindFile(strPath.c_str()) != FALSE;
    finder.Close();
    return bFound;
}

std::wstring ServerListPath(const std::wstring& strFolder)
{
    return strFolder + L"\\" + kServerListName;
}

// The outcome QVS.ini holds while a run is under way. A run that never ends (its
// process is killed, the machine stops) leaves it there, and the next check
// finds the update due again although the release list was already taken.
const wchar_t kRunNotFinished[] = L"The update run did not finish.";

void RecordRunStarted()
{
    try
    {
        WriteUpdateResult(false, SCDateTime::GetCurrentTime(), kRunNotFinished);
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
}

bool LastRunUnfinished()
{
    try
    {
        return ReadConfString(L"HotUpdate", L"UpdateSucceeded") == L"0" &&
               ReadConfString(L"HotUpdate", L"UpdateFailureReason") == kRunNotFinished;
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    return false;
}
} // namespace

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

    if (m_bDue || m_bForced)
    {
        if (!m_bDue)
        {
            // A due update was recorded as started when the release list was taken.
            RecordRunStarted();
        }
        ShowWindow(SW_SHOWNORMAL);
        CenterWindow();
        BuildClientList();
        // The run starts from the modal loop, once the dialog is up: a click of the
        // hidden Run button, posted as the command it produces.
        const HWND hRun = GetDlgItem(IDC_RUN);
        if (hRun != nullptr)
        {
            PostMessage(WM_COMMAND, MAKEWPARAM(IDC_RUN, BN_CLICKED),
                        reinterpret_cast<LPARAM>(hRun));
        }
    }
    else
    {
        // Here only when QVS.exe could not be started without the dialog: the
        // launch tries once more and, failing again, shows why.
        ShowWindow(SW_SHOWMINIMIZED);
        PostMessage(WM_LAUNCH_CLIENT, 0, 0);
    }
    FlushTextBox();
    return TRUE;
}

bool CQVSCliUpdateDlg::StartWithoutWindow()
{
    PrepareStart();
    if (!m_strStartFailure.empty() || m_bDue || m_bForced)
    {
        return false;
    }
    try
    {
        return CQVSCliUpdateApp::StartClientProgram(CQVSCliUpdateApp::ClientProgramPath()) !=
               FALSE;
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
    if (!InitServicesAndLog())
    {
        return;
    }
    // Any argument at all forces a run; the arguments themselves are not used.
    int nArgs = 0;
    UniqueLocal args(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &nArgs)));
    m_bForced = nArgs > 1;
    args.reset();
    m_bDue = CheckForUpdate();
}

bool CQVSCliUpdateDlg::InitServicesAndLog()
{
    std::wstring strFailure;
    m_bServicesUp = true;
    try
    {
        if (!SCResAString::LoadModule(kProgramModule) || !SCResUString::LoadModule(kProgramModule))
        {
            strFailure = std::wstring(L"Cannot find module ") + kProgramModule + L" !";
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
            strFailure = L"The event log could not be opened; nothing was updated.";
            AfxThrowResourceException();
        }

        strFailure = L"The installation folder cannot be found above the program's folder " +
                     GetAppFolder() + L"; nothing was updated.";
        const std::wstring strLog = GetAppRootFolder() + L"\\bin\\" + kLogName;
        strFailure.clear();
        // A log that cannot be made only disables logging to the file.
        m_logFile.reset(CreateFileW(strLog.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        return true;
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    if (strFailure.empty())
    {
        strFailure = L"The update could not be started.";
    }
    m_strStartFailure = strFailure;
    return false;
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
    if (m_hLog != nullptr)
    {
        m_strPendingTop.insert(0, strMessage + L"\r\n");
        FlushTextBoxIfDue();
    }
    if (m_logFile)
    {
        // Characters the code page lacks become its default character (not a
        // look-alike: the log must not show a name that does not exist).
        const int nBytes =
            WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, strMessage.data(),
                                static_cast<int>(strMessage.size()), nullptr, 0, nullptr, nullptr);
        std::string bytes(static_cast<size_t>(nBytes > 0 ? nBytes : 0), '\0');
        if (nBytes > 0)
        {
            WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, strMessage.data(),
                                static_cast<int>(strMessage.size()), bytes.data(), nBytes, nullptr,
                                nullptr);
        }
        bytes += "\r\n";
        DWORD dwWritten = 0;
        WriteFile(m_logFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &dwWritten,
                  nullptr);
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
    MSG msg;
    while (PeekMessageW(&msg, hDlg, 0, 0, PM_REMOVE))
    {
        DispatchMessageW(&msg);
    }
    // The text box and the buttons paint themselves too while the work goes on.
    while (PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
    {
        DispatchMessageW(&msg);
    }
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
    ReleaseServices();
}

void CQVSCliUpdateDlg::NoteFailure(DWORD dwError) noexcept
{
    if (m_dwFirstError == ERROR_SUCCESS)
    {
        m_dwFirstError = dwError;
    }
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

BOOL CQVSCliUpdateDlg::CheckForUpdate()
{
    BOOL bServerFound = FALSE;
    BOOL bLocalFound = FALSE;
    BOOL bNeeded = FALSE;
    std::wstring strReleaseList;
    std::wstring strRoot;
    std::wstring strLocalCopy;
    try
    {
        strReleaseList = ServerListPath(ReadSourceFolder());
        strRoot = GetAppRootFolder();
        strLocalCopy = ServerListPath(strRoot);
        if (!FileExists(strReleaseList))
        {
            SC_THROW(SC_NO_CODE);
        }
        SCFile release(strReleaseList);
        // Found and readable: only then may it be copied.
        bServerFound = TRUE;
        if (!FileExists(strLocalCopy))
        {
            SC_THROW(SC_NO_CODE);
        }
        bLocalFound = TRUE;
        SCFile local(strLocalCopy);
        SCDateTime dtRelease(0);
        SCDateTime dtLocal(0);
        release.GetModifiedTime(dtRelease);
        local.GetModifiedTime(dtLocal);
        bNeeded = dtRelease > dtLocal || LastRunUnfinished() ? TRUE : FALSE;
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    if (bNeeded || (bServerFound && !bLocalFound))
    {
        // Recorded before the release counts as seen, so that no moment is left
        // at which an end of the process would lose the update.
        RecordRunStarted();
        // A copy of the list that was cut short by such an end is cleared first.
        SCFileIterator::RemoveCopyLeftovers(strRoot);
        // The local copy records which release was seen; nothing is shown of it.
        SCFileIterator::CopyOneFile(strReleaseList, strLocalCopy, nullptr, nullptr);
        bNeeded = TRUE;
    }
    return bNeeded;
}

BOOL CQVSCliUpdateDlg::BuildClientList()
{
    BOOL bResult = FALSE;
    std::wstring strRoot;
    bool bOpened = false;
    try
    {
        SetDlgItemText(IDC_LOG, L"");
        m_strPendingTop.clear();
        m_pendingBottom.clear();
        ClearList(FileListKind::Client);
        strRoot = GetAppRootFolder();
        m_iterator.SetRootFolder(strRoot);
        m_iterator.Walk(FileListKind::Client, &ProgressCallback, this);
        if (!OpenListFile(FileListKind::Client, strRoot))
        {
            SC_THROW(SC_NO_CODE);
        }
        bOpened = true;
        TruncateListFile(FileListKind::Client);
        AddLogLine(SCResUString(IDS_SAVING_TO) + strRoot + L"\\" + kClientListName + L"\r\n\r\n");
        if (!WriteList(FileListKind::Client))
        {
            // The run goes on without the inventory: the user learns why it is missing.
            ReportListFailure(FileListKind::Client, strRoot);
        }
        CloseListFile(FileListKind::Client);
        ClearList(FileListKind::Client);
        bResult = TRUE;
    }
    catch (CException* e)
    {
        if (bOpened)
        {
            // Opened but not emptied: the run compares with what the file held
            // before. (A file that does not open is reported by the run itself.)
            DWORD dwError = ERROR_WRITE_FAULT;
            if (e->IsKindOf(RUNTIME_CLASS(CFileException)) &&
                static_cast<const CFileException*>(e)->m_lOsError > 0)
            {
                dwError = static_cast<DWORD>(static_cast<const CFileException*>(e)->m_lOsError);
            }
            ReportFailure(AfxSystemErrorLine(dwError) + L" " + strRoot + L"\\" + kClientListName);
        }
        SC_HANDLE(e);
        CloseListFile(FileListKind::Client);
        ClearList(FileListKind::Client);
    }
    FlushTextBox();
    return bResult;
}

BOOL CQVSCliUpdateDlg::RunUpdate()
{
    BOOL bResult = FALSE;
    m_dwFirstError = ERROR_SUCCESS;
    std::wstring strRoot;
    try
    {
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        strRoot = GetAppRootFolder();
        // The copy taken by the check describes the release being installed.
        std::wstring strListFolder = strRoot;
        if (!FileExists(ServerListPath(strRoot)))
        {
            strListFolder = ReadSourceFolder();
        }
        if (!OpenListFile(FileListKind::Server, strListFolder))
        {
            ReportListFailure(FileListKind::Server, strListFolder);
            SC_THROW(SC_NO_CODE);
        }
        if (!OpenListFile(FileListKind::Client, strRoot))
        {
            ReportListFailure(FileListKind::Client, strRoot);
            SC_THROW(SC_NO_CODE);
        }
        if (!ReadList(FileListKind::Server))
        {
            ReportListFailure(FileListKind::Server, strListFolder);
            SC_THROW(SC_NO_CODE);
        }
        if (!ReadList(FileListKind::Client))
        {
            ReportListFailure(FileListKind::Client, strRoot);
            SC_THROW(SC_NO_CODE);
        }
        FileList& plan = CompareLists();
        if (!SCFileIterator::CopyFiles(&plan, &ProgressCallback, this))
        {
            NoteFailure(SCFileIterator::GetFirstCopyError());
            SC_THROW(SC_NO_CODE);
        }
        m_logFile.reset();
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        CloseListFile(FileListKind::Server);
        CloseListFile(FileListKind::Client);
        bResult = TRUE;
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        CloseListFile(FileListKind::Server);
        CloseListFile(FileListKind::Client);
    }
    // Without a start of the client on its way the dialog stays open for the user,
    // who may read everything the run showed.
    MSG msg;
    const bool bLaunching =
        PeekMessageW(&msg, m_hWnd, WM_LAUNCH_CLIENT, WM_LAUNCH_CLIENT, PM_NOREMOVE) != FALSE;
    FlushTextBox(!bLaunching);
    RecordUpdateResult(bResult);
    if (!bResult && !strRoot.empty())
    {
        // The release is not fully installed: forget that it was seen, so that the
        // next start finds the update due again.
        DeleteFileW(ServerListPath(strRoot).c_str());
    }
    return bResult;
}

void CQVSCliUpdateDlg::RecordUpdateResult(BOOL bSucceeded)
{
    try
    {
        // The reason is the first failure's own, on one line so that it cannot
        // break the ini file's structure.
        std::wstring strReason;
        if (!bSucceeded && m_dwFirstError != ERROR_SUCCESS)
        {
            strReason = AfxSystemErrorLine(m_dwFirstError);
        }
        WriteUpdateResult(bSucceeded != FALSE, SCDateTime::GetCurrentTime(), strReason);
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
}
