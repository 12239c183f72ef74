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

std::wstring AfxLoadString(UINT nID)
{
    // A zero length asks for the entry in place: no copy, no length limit.
    LPCWSTR pText = nullptr;
    const int n = LoadStringW(AfxGetResourceHandle(), nID, reinterpret_cast<LPWSTR>(&pText), 0);
    return n > 0 && pText != nullptr ? std::wstring(pText, static_cast<size_t>(n))
                                     : std::wstring();
}

int AfxLoadString(UINT nID, LPWSTR lpszBuffer, UINT nMax) noexcept
{
    if (lpszBuffer == nullptr || nMax == 0)
    {
        return 0;
    }
    lpszBuffer[0] = L'\0';
    return LoadStringW(AfxGetResourceHandle(), nID, lpszBuffer, static_cast<int>(nMax));
}

std::wstring AfxFormatStrings(const std::wstring& strPattern,
                              std::initializer_list<std::wstring> args)
{
    std::wstring text;
    text.reserve(strPattern.size());
    for (size_t i = 0; i < strPattern.size(); ++i)
    {
        const wchar_t c = strPattern[i];
        if (c == L'%' && i + 1 < strPattern.size() && strPattern[i + 1] >= L'1' &&
            strPattern[i + 1] <= L'9')
        {
            const size_t nArg = static_cast<size_t>(strPattern[i + 1] - L'1');
            if (nArg < args.size())
            {
                text += *(args.begin() + nArg);
                ++i;
                continue;
            }
        }
        text += c;
    }
    return text;
}
