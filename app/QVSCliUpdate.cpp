#include "app/QVSCliUpdate.h"

#include "app/QVSCliUpdateDlg.h"

#include "lib/ConfFile.h"
#include "lib/Miscellaneous.h"
#include "lib/Policy.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <shellapi.h>

#include <vector>

CQVSCliUpdateApp theApp;

CQVSCliUpdateApp::CQVSCliUpdateApp() = default;

BOOL CQVSCliUpdateApp::InitInstance()
{
    try
    {
        // A policy that turns updates off starts the client at once, as no release
        // folder does; the share is never asked.
        const bool bDisabled = UpdatesDisabledByPolicy();
        // Only the length counts: the value is neither trimmed nor checked here.
        if (bDisabled || ReadSourceFolder().empty())
        {
            LaunchClientProgram();
            SayWithoutUpdate(bDisabled);
        }
        else
        {
            RunUpdateDialog();
        }
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
    return FALSE;
}

void CQVSCliUpdateApp::SayWithoutUpdate(bool bDisabled)
{
    std::vector<std::wstring> lines;
    // The event log under the program's name, as the update run opens it.
    wchar_t szPath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    wchar_t szName[MAX_PATH] = {};
    _wsplitpath_s(szPath, nullptr, 0, nullptr, 0, szName, MAX_PATH, nullptr, 0);
    const bool bEvents = !SCPolicy::Current().Problems().empty() && RegisterEventLogSource(szName);
    ReportPolicyProblems([&lines](const std::wstring& strLine) { lines.push_back(strLine); });
    if (bEvents)
    {
        DeregisterEventLogSource();
    }
    if (bDisabled)
    {
        lines.push_back(UpdatesDisabledLine());
    }
    if (lines.empty())
    {
        return;
    }
    try
    {
        // The log of this start, made anew as every start makes it; while an update
        // that began before the policy still works, its log is not emptied under it:
        // the lines are added at its end.
        const std::wstring strRoot = GetAppRootFolder();
        SCInstallationLock lock;
        const bool bOwnLog = lock.Acquire(strRoot, 0) != SCInstallationLock::Result::TimedOut;
        const UniqueFile log(CreateFileW((strRoot + L"\\bin\\QVSCliUpdate.log").c_str(),
                                         bOwnLog ? GENERIC_WRITE : FILE_APPEND_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         bOwnLog ? CREATE_ALWAYS : OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        for (const std::wstring& strLine : lines)
        {
            if (log)
            {
                WriteLogLine(log.get(), strLine);
            }
        }
    }
    catch (CException* e)
    {
        // No installation root (the program in a drive's root): no log, as for a run.
        SC_HANDLE(e);
    }
}

void CQVSCliUpdateApp::RunUpdateDialog()
{
    CQVSCliUpdateDlg dlg;
    // The everyday start, nothing to update, needs no window: making one costs
    // more than the rest of the start together.
    if (dlg.StartWithoutWindow())
    {
        return;
    }
    m_pMainWnd = &dlg;
    const INT_PTR nResult = dlg.DoModal();
    m_pMainWnd = nullptr;
    if (nResult == -1)
    {
        // No dialog could be made (no desktop to show it on): the user still gets
        // the client.
        LaunchClientProgram();
    }
}

std::wstring CQVSCliUpdateApp::ClientProgramPath()
{
    return GetAppFolder() + L"QVS.exe";
}

BOOL CQVSCliUpdateApp::StartClientProgram(const std::wstring& strPath)
{
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof sei;
    // No system error box: a failure is the caller's to report (or to leave silent).
    // The program ends right after the start, so the start must be complete on return.
    sei.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    sei.hwnd = nullptr;
    sei.lpVerb = L"Open";
    sei.lpFile = strPath.c_str();
    sei.lpParameters = nullptr;
    sei.lpDirectory = nullptr;
    sei.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&sei);
}

void CQVSCliUpdateApp::LaunchClientProgram()
{
    // A failure is silent: the process simply ends.
    StartClientProgram(ClientProgramPath());
}
