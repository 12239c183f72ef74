#include "app/QVSCliUpdate.h"

#include "app/QVSCliUpdateDlg.h"

#include "lib/ConfFile.h"
#include "lib/Miscellaneous.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <shellapi.h>

CQVSCliUpdateApp theApp;

CQVSCliUpdateApp::CQVSCliUpdateApp() = default;

BOOL CQVSCliUpdateApp::InitInstance()
{
    try
    {
        const std::wstring strSourceFolder = ReadSourceFolder();
        // Only the length counts: the value is neither trimmed nor checked here.
        if (strSourceFolder.empty())
        {
            LaunchClientProgram();
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
