// The tool's writes into the release folder: temporary files made anew, each put
// in place in one step.
#include "tools/QVSMakeList/ReleaseWrite.h"

#include "framework/AfxFileFind.h"

#include <atomic>
#include <cwchar>

namespace
{
constexpr std::wstring_view kTempPrefix = L"~QVSMakeList-";
constexpr std::wstring_view kTempSuffix = L".tmp";

// The number of the process's next temporary file.
std::atomic<unsigned> g_nextTemp{0};

bool HasAt(std::wstring_view text, size_t nAt, std::wstring_view part) noexcept
{
    return text.size() >= nAt + part.size() &&
           CompareStringOrdinal(text.data() + nAt, static_cast<int>(part.size()), part.data(),
                                static_cast<int>(part.size()), TRUE) == CSTR_EQUAL;
}

bool ProcessRuns(DWORD dwProcessId) noexcept
{
    if (dwProcessId == GetCurrentProcessId())
    {
        return true;
    }
    const UniqueKernelHandle hProcess(OpenProcess(SYNCHRONIZE, FALSE, dwProcessId));
    if (!hProcess)
    {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    return WaitForSingleObject(hProcess.get(), 0) == WAIT_TIMEOUT;
}
} // namespace

bool IsTempName(std::wstring_view name, DWORD* pProcessId)
{
    if (name.size() <= kTempPrefix.size() + kTempSuffix.size() || !HasAt(name, 0, kTempPrefix) ||
        !HasAt(name, name.size() - kTempSuffix.size(), kTempSuffix))
    {
        return false;
    }
    std::wstring_view middle =
        name.substr(kTempPrefix.size(), name.size() - kTempPrefix.size() - kTempSuffix.size());
    const size_t nDash = middle.find(L'-');
    if (nDash != std::wstring_view::npos)
    {
        // After the process: letters and digits only.
        const std::wstring_view tail = middle.substr(nDash + 1);
        if (tail.empty() ||
            tail.find_first_not_of(L"0123456789abcdefghijklmnopqrstuvwxyz"
                                   L"ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::wstring_view::npos)
        {
            return false;
        }
        middle = middle.substr(0, nDash);
    }
    const std::wstring digits(middle);
    wchar_t* pEnd = nullptr;
    const unsigned long nId = wcstoul(digits.c_str(), &pEnd, 16);
    if (digits.empty() || digits.size() > 8 || pEnd == nullptr || *pEnd != L'\0' ||
        digits.find_first_of(L"+- ") != std::wstring::npos)
    {
        return false;
    }
    *pProcessId = static_cast<DWORD>(nId);
    return true;
}

bool IsStaleTempName(std::wstring_view name)
{
    DWORD dwProcessId = 0;
    return IsTempName(name, &dwProcessId) && !ProcessRuns(dwProcessId);
}

void RemoveStaleTemps(const std::wstring& strFolder)
{
    CFileFind finder;
    BOOL bMore = finder.FindFile((strFolder + L"\\" + std::wstring(kTempPrefix) + L"*").c_str());
    while (bMore)
    {
        bMore = finder.FindNextFile();
        if (!finder.IsDirectory() && IsStaleTempName(finder.GetFindData().cFileName))
        {
            const std::wstring strPath = AfxLongPathForm(finder.GetFilePath());
            SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(strPath.c_str());
        }
    }
}

UniqueFile CreateTempFile(const std::wstring& strFolder, std::wstring& strPath, DWORD& dwError)
{
    for (int nTry = 0; nTry < 100; ++nTry)
    {
        wchar_t szName[48] = {};
        swprintf(szName, 48, L"%ls%lx-%x%ls", std::wstring(kTempPrefix).c_str(),
                 GetCurrentProcessId(), g_nextTemp++, std::wstring(kTempSuffix).c_str());
        strPath = strFolder + L"\\" + szName;
        // CREATE_NEW: a name that exists (a file, a link, anything) is never opened.
        UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
        {
            dwError = ERROR_SUCCESS;
            return file;
        }
        dwError = GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS)
        {
            break;
        }
    }
    strPath.clear();
    return UniqueFile();
}

DWORD PutInPlace(const std::wstring& strTemp, const std::wstring& strPath)
{
    const std::wstring strFrom = AfxLongPathForm(strTemp);
    const std::wstring strTo = AfxLongPathForm(strPath);
    const DWORD dwOldAttributes = GetFileAttributesW(strTo.c_str());
    const bool bReadOnly =
        dwOldAttributes != INVALID_FILE_ATTRIBUTES && (dwOldAttributes & FILE_ATTRIBUTE_READONLY);
    if (bReadOnly)
    {
        SetFileAttributesW(strTo.c_str(), dwOldAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    // A client that reads the old file at this moment holds it open for a short while.
    DWORD dwError = ERROR_SUCCESS;
    for (int nTry = 0; nTry < 40; ++nTry)
    {
        if (MoveFileExW(strFrom.c_str(), strTo.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        {
            return ERROR_SUCCESS;
        }
        dwError = GetLastError();
        if (dwError != ERROR_SHARING_VIOLATION && dwError != ERROR_ACCESS_DENIED &&
            dwError != ERROR_LOCK_VIOLATION)
        {
            break;
        }
        Sleep(250);
    }
    if (bReadOnly)
    {
        SetFileAttributesW(strTo.c_str(), dwOldAttributes);
    }
    DeleteFileW(strFrom.c_str());
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

DWORD WriteBytesReplacing(const std::wstring& strFolder, const std::wstring& strPath,
                          const void* pBytes, size_t nBytes)
{
    std::wstring strTemp;
    DWORD dwError = ERROR_SUCCESS;
    {
        const UniqueFile file = CreateTempFile(strFolder, strTemp, dwError);
        if (!file)
        {
            return dwError;
        }
        const char* p = static_cast<const char*>(pBytes);
        size_t nLeft = nBytes;
        while (nLeft > 0 && dwError == ERROR_SUCCESS)
        {
            const DWORD nChunk = nLeft > (1u << 20) ? (1u << 20) : static_cast<DWORD>(nLeft);
            DWORD nWritten = 0;
            if (!WriteFile(file.get(), p, nChunk, &nWritten, nullptr) || nWritten != nChunk)
            {
                dwError = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
            }
            p += nChunk;
            nLeft -= nChunk;
        }
        if (dwError == ERROR_SUCCESS && !FlushFileBuffers(file.get()))
        {
            dwError = GetLastError();
        }
    }
    if (dwError != ERROR_SUCCESS)
    {
        DeleteFileW(AfxLongPathForm(strTemp).c_str());
        return dwError;
    }
    return PutInPlace(strTemp, strPath);
}

DWORD WriteReplacing(const std::wstring& strFolder, const wchar_t* pszName,
                     const std::wstring& text)
{
    return WriteBytesReplacing(strFolder, strFolder + L"\\" + pszName, text.data(),
                               text.size() * sizeof(wchar_t));
}
