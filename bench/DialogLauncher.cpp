// The floor of one extra process with a window: an empty dialog (no controls, no
// icon) shown minimized, then hidden, then QVS.exe started from its own folder as
// QVSCliUpdate.exe starts it (ShellExecuteExW, no error box, the start complete on
// return), then the end.
#include <windows.h>

#include <shellapi.h>

#include <string>

namespace
{
constexpr UINT kLaunch = WM_USER + 2;

std::wstring ClientPath()
{
    wchar_t szModule[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, szModule, MAX_PATH * 4);
    std::wstring strPath(szModule, n);
    strPath.erase(strPath.rfind(L'\\') + 1);
    return strPath + L"QVS.exe";
}

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM, LPARAM)
{
    switch (uMsg)
    {
    case WM_INITDIALOG:
        ShowWindow(hDlg, SW_SHOWMINIMIZED);
        PostMessageW(hDlg, kLaunch, 0, 0);
        return TRUE;
    case kLaunch:
    {
        ShowWindow(hDlg, SW_HIDE);
        const std::wstring strPath = ClientPath();
        SHELLEXECUTEINFOW sei{};
        sei.cbSize = sizeof sei;
        sei.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        sei.lpVerb = L"Open";
        sei.lpFile = strPath.c_str();
        sei.nShow = SW_SHOWNORMAL;
        EndDialog(hDlg, ShellExecuteExW(&sei) ? 0 : 1);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

// A dialog template without controls: the header alone, with empty menu, class
// and title.
struct EmptyTemplate
{
    DLGTEMPLATE header;
    WORD menu;
    WORD windowClass;
    WORD title;
};
} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    EmptyTemplate dialog{};
    dialog.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    dialog.header.cx = 320;
    dialog.header.cy = 200;
    return static_cast<int>(
        DialogBoxIndirectParamW(hInstance, &dialog.header, nullptr, &DialogProc, 0));
}
