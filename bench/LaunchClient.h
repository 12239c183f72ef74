#pragma once
// How the floors of one extra process (BareLauncher.exe, DialogLauncher.exe) start
// the client: QVS.exe from their own folder, as QVSCliUpdate.exe starts it
// (ShellExecuteExW, no error box, the start complete on return).

#include <windows.h>

#include <shellapi.h>

#include <string>

inline bool LaunchClient()
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
    return ShellExecuteExW(&sei) != FALSE;
}
