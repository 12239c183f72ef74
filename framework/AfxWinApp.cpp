#include "framework/AfxWinApp.h"

#include "framework/AfxException.h"

namespace
{
CWinApp* g_pApp = nullptr;
HINSTANCE g_hResource = nullptr;
} // namespace

CWinApp::CWinApp(LPCWSTR lpszAppName) : m_pszAppName(lpszAppName)
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
    {
        g_pApp = nullptr;
    }
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return m_nExitCode;
}

int CWinApp::Run()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ExitInstance();
}

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    return static_cast<HICON>(LoadImageW(AfxGetResourceHandle(), MAKEINTRESOURCEW(nIDResource),
                                         IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

CWinApp* AfxGetApp() noexcept
{
    return g_pApp;
}

HINSTANCE AfxGetResourceHandle() noexcept
{
    return g_hResource != nullptr ? g_hResource : GetModuleHandleW(nullptr);
}

void AfxSetResourceHandle(HINSTANCE hInstance) noexcept
{
    g_hResource = hInstance;
}

int AfxWinMain(HINSTANCE hInstance, int)
{
    CWinApp* pApp = AfxGetApp();
    if (pApp == nullptr)
    {
        return 1;
    }
    pApp->m_hInstance = hInstance;
    // No exception may leave the entry point: a stray one ends the program with a code.
    try
    {
        if (!pApp->InitInstance())
        {
            return pApp->ExitInstance();
        }
        return pApp->Run();
    }
    catch (CException* e)
    {
        e->Delete();
    }
    catch (...)
    {
    }
    return 3;
}
