// The floor of one extra process with a window: an empty dialog (no controls, no
// icon) shown minimized, then hidden, then QVS.exe started from its own folder as
// QVSCliUpdate.exe starts it (ShellExecuteExW, no error box, the start complete on
// return), then the end.
#include "bench/LaunchClient.h"

namespace
{
constexpr UINT kLaunch = WM_USER + 2;

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
        EndDialog(hDlg, LaunchClient() ? 0 : 1);
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
