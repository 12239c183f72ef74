#include "app/QVSCliUpdate.h"

#include "app/QVSCliUpdateDlg.h"

#include "framework/AfxHandle.h"
#include "lib/ConfFile.h"
#include "lib/Miscellaneous.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <shellapi.h>

#include <cwchar>

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

namespace
{
// One update of an installation at a time: a second start waits here until the
// first has finished, then goes on as usual (and usually finds nothing to do).
class InstallationLock
{
public:
    InstallationLock()
    {
        std::wstring strRoot;
        try
        {
            strRoot = GetAppRootFolder();
        }
        catch (CException* e)
        {
            // The dialog reports a program without an installation root.
            SC_HANDLE(e);
            return;
        }
        CharUpperBuffW(strRoot.data(), static_cast<DWORD>(strRoot.size()));
        // Mutex names cannot hold backslashes: name the root by a hash of it.
        unsigned long long nHash = 14695981039346656037ull;
        for (const wchar_t c : strRoot)
        {
            nHash = (nHash ^ static_cast<unsigned long long>(c)) * 1099511628211ull;
        }
        wchar_t szName[64];
        swprintf(szName, 64, L"Local\\QVSCliUpdate.%016llx", nHash);
        m_mutex.reset(CreateMutexW(nullptr, FALSE, szName));
        if (m_mutex)
        {
            // An abandoned mutex means the other run died: this one may go on.
            const DWORD dwWait = WaitForSingleObject(m_mutex.get(), INFINITE);
            m_bOwned = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
        }
    }
    ~InstallationLock()
    {
        if (m_bOwned)
        {
            ReleaseMutex(m_mutex.get());
        }
    }
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;

private:
    UniqueKernelHandle m_mutex;
    bool m_bOwned = false;
};
} // namespace

void CQVSCliUpdateApp::RunUpdateDialog()
{
    const InstallationLock lock;
    CQVSCliUpdateDlg dlg;
    // The everyday start, nothing to update, needs no window: making one costs
    // more than the rest of the start together.
    if (dlg.StartWithoutWindow())
    {
        return;
    }
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
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
