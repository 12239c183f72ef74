// The floor of one extra process between the user and the client: starts QVS.exe
// from its own folder exactly as QVSCliUpdate.exe does (ShellExecuteExW, no error
// box, the start complete on return) and ends. Nothing else: no window, no files.
#include <windows.h>

#include <shellapi.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t szModule[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, szModule, MAX_PATH * 4);
    std::wstring strPath(szModule, n);
    strPath.erase(strPath.rfind(L'\\') + 1);
    strPath += L"QVS.exe";

    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    sei.lpVerb = L"Open";
    sei.lpFile = strPath.c_str();
    sei.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&sei) ? 0 : 1;
}
