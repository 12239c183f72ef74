#include "lib/Miscellaneous.h"

#include "lib/Xcpt.h"

#include <windows.h>

namespace
{
std::wstring& AppFolderText()
{
    static std::wstring s_strAppFolder;
    return s_strAppFolder;
}

// The full path of the running program, however long it is.
std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
        {
            return std::wstring();
        }
        if (n < path.size())
        {
            path.resize(n);
            return path;
        }
        // The path was cut to fit: try again with room for the whole of it.
        if (path.size() >= 32768)
        {
            return std::wstring();
        }
        path.resize(path.size() * 2);
    }
}
} // namespace

std::wstring AppFolderFromModulePath(const std::wstring& strModulePath)
{
    const size_t pos = strModulePath.rfind(L'\\');
    return pos == std::wstring::npos ? std::wstring() : strModulePath.substr(0, pos + 1);
}

const std::wstring& GetAppFolder()
{
    std::wstring& folder = AppFolderText();
    if (folder.empty())
    {
        folder = AppFolderFromModulePath(ModulePath());
    }
    return folder;
}

std::wstring RootFolderFromAppFolder(const std::wstring& strAppFolder)
{
    std::wstring root = strAppFolder;
    size_t pos = root.rfind(L'\\');
    if (pos == std::wstring::npos)
    {
        SC_THROW(SC_CODE_APP_PATH);
    }
    root.erase(pos);
    pos = root.rfind(L'\\');
    if (pos == std::wstring::npos)
    {
        SC_THROW(SC_CODE_APP_PATH);
    }
    root.erase(pos);
    return root;
}

std::wstring GetAppRootFolder()
{
    return RootFolderFromAppFolder(GetAppFolder());
}

void SetAppFolderForTesting(const std::wstring& strAppFolder)
{
    AppFolderText() = strAppFolder;
}
