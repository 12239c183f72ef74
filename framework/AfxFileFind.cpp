#include "framework/AfxFileFind.h"

#include <vector>

namespace
{
bool IsSeparator(wchar_t c) noexcept
{
    return c == L'\\' || c == L'/';
}

// A drive path ("C:\...") or a network or device path ("\\...").
bool IsFullPath(const std::wstring& strPath) noexcept
{
    if (strPath.size() >= 3 && strPath[1] == L':' && IsSeparator(strPath[2]))
    {
        return true;
    }
    return strPath.size() >= 2 && IsSeparator(strPath[0]) && IsSeparator(strPath[1]);
}

std::wstring FullPathName(const std::wstring& strPath)
{
    std::vector<wchar_t> buffer(strPath.size() + MAX_PATH);
    for (;;)
    {
        const DWORD n = GetFullPathNameW(strPath.c_str(), static_cast<DWORD>(buffer.size()),
                                         buffer.data(), nullptr);
        if (n == 0)
        {
            return std::wstring();
        }
        if (n < buffer.size())
        {
            return std::wstring(buffer.data(), n);
        }
        buffer.resize(n + 1);
    }
}
} // namespace

std::wstring AfxLongPathForm(const std::wstring& strPath)
{
    if (strPath.size() < kAfxLongPathThreshold)
    {
        return strPath;
    }
    // "\\?\..." and "\\.\..." are device forms already.
    if (strPath.size() >= 4 && IsSeparator(strPath[0]) && IsSeparator(strPath[1]) &&
        (strPath[2] == L'?' || strPath[2] == L'.') && IsSeparator(strPath[3]))
    {
        return strPath;
    }
    const std::wstring strFull = FullPathName(strPath);
    if (strFull.size() >= 2 && strFull[0] == L'\\' && strFull[1] == L'\\')
    {
        return L"\\\\?\\UNC\\" + strFull.substr(2);
    }
    if (strFull.size() >= 3 && strFull[1] == L':' && strFull[2] == L'\\')
    {
        return L"\\\\?\\" + strFull;
    }
    return strPath;
}

CFileFind::CFileFind() noexcept : m_data{} {}

CFileFind::~CFileFind() = default;

BOOL CFileFind::FindFile(LPCWSTR pstrName, DWORD)
{
    Close();
    std::wstring strPattern = pstrName != nullptr ? pstrName : L"*.*";
    const size_t nSlash = strPattern.find_last_of(L"\\/");
    if (nSlash == std::wstring::npos)
    {
        m_strRoot.clear();
    }
    else
    {
        // "C:\*.*" keeps its backslash: "C:" alone would mean the drive's current folder.
        const bool bDriveTop = nSlash == 2 && strPattern[1] == L':';
        m_strRoot.assign(strPattern, 0, bDriveTop ? nSlash + 1 : nSlash);
    }
    if (!IsFullPath(m_strRoot))
    {
        // A relative search still reports full paths, as of the moment it started.
        const std::wstring strFull = FullPathName(m_strRoot.empty() ? L"." : m_strRoot);
        if (!strFull.empty())
        {
            m_strRoot = strFull;
            if (m_strRoot.size() > 3 && m_strRoot.back() == L'\\')
            {
                m_strRoot.pop_back();
            }
        }
    }

    // Basic information (no short names) and large fetches: the walk needs
    // neither the 8.3 name nor small directory reads.
    const std::wstring strSearch = AfxLongPathForm(strPattern);
    HANDLE h = FindFirstFileExW(strSearch.c_str(), FindExInfoBasic, &m_data[0],
                                FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
    {
        // Systems without these options: the plain search.
        h = FindFirstFileW(strSearch.c_str(), &m_data[0]);
    }
    if (h == INVALID_HANDLE_VALUE)
    {
        m_strRoot.clear();
        return FALSE;
    }
    m_hFind.reset(h);
    m_nCurrent = 1; // the first entry waits in m_data[0] for FindNextFile
    m_bHaveNext = true;
    return TRUE;
}

BOOL CFileFind::FindNextFile()
{
    if (!m_hFind || !m_bHaveNext)
    {
        return FALSE;
    }
    m_nCurrent ^= 1u;
    m_bHaveNext = ::FindNextFileW(m_hFind.get(), &m_data[m_nCurrent ^ 1u]) != FALSE;
    return m_bHaveNext ? TRUE : FALSE;
}

void CFileFind::Close() noexcept
{
    m_hFind.reset();
    m_bHaveNext = false;
}

BOOL CFileFind::IsDots() const noexcept
{
    const wchar_t* pName = GetFindData().cFileName;
    return pName[0] == L'.' && (pName[1] == L'\0' || (pName[1] == L'.' && pName[2] == L'\0'));
}

BOOL CFileFind::IsDirectory() const noexcept
{
    return MatchesMask(FILE_ATTRIBUTE_DIRECTORY);
}

BOOL CFileFind::MatchesMask(DWORD dwMask) const noexcept
{
    return (GetFindData().dwFileAttributes & dwMask) != 0 ? TRUE : FALSE;
}

std::wstring CFileFind::GetFileName() const
{
    return GetFindData().cFileName;
}

std::wstring CFileFind::GetFilePath() const
{
    std::wstring strPath;
    const wchar_t* pName = GetFindData().cFileName;
    strPath.reserve(m_strRoot.size() + 1 + wcslen(pName));
    strPath = m_strRoot;
    if (!strPath.empty() && strPath.back() != L'\\')
    {
        strPath += L'\\';
    }
    strPath += pName;
    return strPath;
}

bool AfxGetFileIdentity(const std::wstring& strPath, AfxFileIdentity& identity) noexcept
{
    try
    {
        // A drive's root must be named with its backslash ("D:" alone is a
        // current folder); any folder may be.
        std::wstring strOpen = strPath;
        if (strOpen.size() == 2 && strOpen[1] == L':')
        {
            strOpen += L'\\';
        }
        const UniqueFile file(CreateFileW(AfxLongPathForm(strOpen).c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!file || !GetFileInformationByHandle(file.get(), &info))
        {
            return false;
        }
        identity.dwVolumeSerial = info.dwVolumeSerialNumber;
        identity.dwIndexHigh = info.nFileIndexHigh;
        identity.dwIndexLow = info.nFileIndexLow;
        return true;
    }
    catch (...)
    {
        return false;
    }
}
