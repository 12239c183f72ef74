#include "lib/Miscellaneous.h"

#include "lib/Xcpt.h"

#include "framework/AfxFileFind.h"

#include <windows.h>

#include <sddl.h>

#include <cwchar>

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

// ---- The installation lock ----

std::wstring InstallationLockName(const std::wstring& strRoot)
{
    wchar_t szName[96] = {};
    AfxFileIdentity identity;
    if (AfxGetFileIdentity(strRoot, identity))
    {
        swprintf(szName, 96, L"Global\\QVSCliUpdate.%08lx.%08lx%08lx",
                 static_cast<unsigned long>(identity.dwVolumeSerial),
                 static_cast<unsigned long>(identity.dwIndexHigh),
                 static_cast<unsigned long>(identity.dwIndexLow));
        return szName;
    }
    // Mutex names cannot hold backslashes: name the root by a hash of its text.
    std::wstring strText = strRoot;
    CharUpperBuffW(strText.data(), static_cast<DWORD>(strText.size()));
    unsigned long long nHash = 14695981039346656037ull;
    for (const wchar_t c : strText)
    {
        nHash = (nHash ^ static_cast<unsigned long long>(c)) * 1099511628211ull;
    }
    swprintf(szName, 96, L"Global\\QVSCliUpdate.%016llx", nHash);
    return szName;
}

SCInstallationLock::Result SCInstallationLock::Acquire(const std::wstring& strRoot,
                                                         DWORD dwTimeoutMs)
{
    Release();
    // Every local user may wait on the lock and release it, whoever made it: those
    // who share an installation on a terminal server update it one at a time.
    constexpr DWORD kWaitAndRelease = SYNCHRONIZE | MUTEX_MODIFY_STATE;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;0x00100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &pDescriptor,
            nullptr))
    {
        return Result::Unavailable;
    }
    const UniqueLocal descriptor(pDescriptor);
    SECURITY_ATTRIBUTES sa{sizeof sa, pDescriptor, FALSE};
    m_mutex.reset(
        CreateMutexExW(&sa, InstallationLockName(strRoot).c_str(), 0, kWaitAndRelease));
    if (!m_mutex)
    {
        return Result::Unavailable;
    }
    // An abandoned lock means its holder ended without releasing it: this one may go on.
    const DWORD dwWait = WaitForSingleObject(m_mutex.get(), dwTimeoutMs);
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
    {
        m_bOwned = true;
        return Result::Acquired;
    }
    m_mutex.reset();
    return dwWait == WAIT_TIMEOUT ? Result::TimedOut : Result::Unavailable;
}

void SCInstallationLock::Release() noexcept
{
    if (m_bOwned)
    {
        ReleaseMutex(m_mutex.get());
        m_bOwned = false;
    }
    m_mutex.reset();
}

// ---- Text for the log ----

namespace
{
UINT ActualCodePage(UINT nCodePage) noexcept
{
    switch (nCodePage)
    {
    case CP_ACP:
        return GetACP();
    case CP_OEMCP:
        return GetOEMCP();
    case CP_THREAD_ACP:
    {
        DWORD nThreadCodePage = 0;
        if (GetLocaleInfoW(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                           reinterpret_cast<LPWSTR>(&nThreadCodePage),
                           sizeof nThreadCodePage / sizeof(wchar_t)) == 0 ||
            nThreadCodePage == 0)
        {
            return GetACP();
        }
        return nThreadCodePage;
    }
    default:
        return nCodePage;
    }
}

// The code pages for which WideCharToMultiByte takes no flag but 0 (or, for
// UTF-8 and GB18030, WC_ERR_INVALID_CHARS): any other fails with ERROR_INVALID_FLAGS.
bool TakesNoConversionFlags(UINT nCodePage) noexcept
{
    return nCodePage == 42 || (nCodePage >= 50220 && nCodePage <= 50229) || nCodePage == 52936 ||
           nCodePage == 54936 || (nCodePage >= 57002 && nCodePage <= 57011) || nCodePage == 65000 ||
           nCodePage == CP_UTF8;
}
} // namespace

std::string MultiByteText(const std::wstring& strText, UINT nCodePage)
{
    if (strText.empty())
    {
        return std::string();
    }
    DWORD dwFlags = TakesNoConversionFlags(ActualCodePage(nCodePage)) ? 0 : WC_NO_BEST_FIT_CHARS;
    const int nLength = static_cast<int>(strText.size());
    int nBytes =
        WideCharToMultiByte(nCodePage, dwFlags, strText.data(), nLength, nullptr, 0, nullptr, nullptr);
    if (nBytes == 0 && dwFlags != 0 && GetLastError() == ERROR_INVALID_FLAGS)
    {
        // A code page this program does not know to be strict: no flag at all.
        dwFlags = 0;
        nBytes = WideCharToMultiByte(nCodePage, dwFlags, strText.data(), nLength, nullptr, 0,
                                     nullptr, nullptr);
    }
    if (nBytes <= 0)
    {
        return std::string();
    }
    std::string bytes(static_cast<size_t>(nBytes), '\0');
    WideCharToMultiByte(nCodePage, dwFlags, strText.data(), nLength, bytes.data(), nBytes, nullptr,
                        nullptr);
    return bytes;
}

void WriteLogLine(HANDLE hLog, const std::wstring& strMessage)
{
    // Characters the code page lacks become its default character (not a
    // look-alike: the log must not show a name that does not exist).
    const std::string bytes = MultiByteText(strMessage, CP_THREAD_ACP) + "\r\n";
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD dwWritten = 0;
    WriteFile(hLog, bytes.data(), static_cast<DWORD>(bytes.size()), &dwWritten, &atEnd);
}
