#include "lib/CopyLeftover.h"

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/NameFold.h"

#include <windows.h>

#include <atomic>
#include <cwchar>

namespace
{
constexpr std::wstring_view kLeftoverPrefix = L"~QVSCopy-";
constexpr std::wstring_view kLeftoverSuffix = L".tmp";

// Who made a temporary copy: its process, known by number and by the moment it
// started (numbers come round again, and soon: Wine hands out few).
struct CopyMaker
{
    DWORD dwProcessId = 0;
    bool bStartKnown = false;
    ULONGLONG nStart = 0;
};

// When a process started, in the system's 100 ns units; 0 when it cannot be told.
ULONGLONG ProcessStart(HANDLE hProcess) noexcept
{
    FILETIME ftCreation{}, ftExit{}, ftKernel{}, ftUser{};
    if (!GetProcessTimes(hProcess, &ftCreation, &ftExit, &ftKernel, &ftUser))
    {
        return 0;
    }
    return (static_cast<ULONGLONG>(ftCreation.dwHighDateTime) << 32) | ftCreation.dwLowDateTime;
}

// "~QVSCopy-" + process number + its start + copy number + ".tmp", in hex.
std::wstring NewLeftoverName()
{
    static std::atomic<unsigned> s_nCopies{0};
    static const ULONGLONG s_nStart = ProcessStart(GetCurrentProcess());
    wchar_t szMiddle[48] = {};
    swprintf(szMiddle, 48, L"%lx-%llx-%x", GetCurrentProcessId(), s_nStart, s_nCopies++);
    std::wstring strName(kLeftoverPrefix);
    strName += szMiddle;
    strName += kLeftoverSuffix;
    return strName;
}

// Hex digits only, at most nMaxDigits of them, into n.
bool ParseHex(std::wstring_view text, size_t nMaxDigits, ULONGLONG& n) noexcept
{
    if (text.empty() || text.size() > nMaxDigits)
    {
        return false;
    }
    n = 0;
    for (const wchar_t c : text)
    {
        ULONGLONG nDigit = 0;
        if (c >= L'0' && c <= L'9')
        {
            nDigit = static_cast<ULONGLONG>(c - L'0');
        }
        else if (c >= L'a' && c <= L'f')
        {
            nDigit = static_cast<ULONGLONG>(c - L'a' + 10);
        }
        else if (c >= L'A' && c <= L'F')
        {
            nDigit = static_cast<ULONGLONG>(c - L'A' + 10);
        }
        else
        {
            return false;
        }
        n = n * 16 + nDigit;
    }
    return true;
}

// Who made a temporary copy of that name, or false when the name is not one.
// Copies of earlier versions carry no start: "~QVSCopy-" + process + copy + ".tmp".
bool ParseLeftoverName(std::wstring_view name, CopyMaker* pMaker) noexcept
{
    if (name.size() <= kLeftoverPrefix.size() + kLeftoverSuffix.size() ||
        !StartsWithNoCase(name, kLeftoverPrefix) || !EndsWithNoCase(name, kLeftoverSuffix))
    {
        return false;
    }
    std::wstring_view middle = name.substr(
        kLeftoverPrefix.size(), name.size() - kLeftoverPrefix.size() - kLeftoverSuffix.size());
    std::wstring_view fields[3];
    size_t nFields = 0;
    while (nFields < 3)
    {
        const size_t nDash = middle.find(L'-');
        fields[nFields++] = middle.substr(0, nDash);
        if (nDash == std::wstring_view::npos)
        {
            middle = {};
            break;
        }
        middle.remove_prefix(nDash + 1);
    }
    if (!middle.empty() || nFields < 2)
    {
        return false;
    }
    ULONGLONG nProcess = 0, nStart = 0, nCopy = 0;
    if (!ParseHex(fields[0], 8, nProcess) || !ParseHex(fields[nFields - 1], 8, nCopy) ||
        (nFields == 3 && !ParseHex(fields[1], 16, nStart)))
    {
        return false;
    }
    pMaker->dwProcessId = static_cast<DWORD>(nProcess);
    pMaker->bStartKnown = nFields == 3;
    pMaker->nStart = nStart;
    return true;
}

// A process that may still be copying: the one that made the copy, still
// running. Leftovers are cleared only while this process has no copy under way
// (before the list copy, and by the walk, which comes before the copies), so one
// of its own number is a leftover of an ended process too.
bool ProcessMayBeCopying(const CopyMaker& maker) noexcept
{
    if (maker.dwProcessId == GetCurrentProcessId())
    {
        return false;
    }
    const UniqueKernelHandle hProcess(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, maker.dwProcessId));
    if (!hProcess)
    {
        // A process that exists but is not ours to open may be copying.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    if (WaitForSingleObject(hProcess.get(), 0) != WAIT_TIMEOUT)
    {
        return false;
    }
    // Running, but perhaps another process that got the number later.
    return !maker.bStartKnown || ProcessStart(hProcess.get()) == maker.nStart;
}

} // namespace

std::wstring SCLeftoverPathBeside(const std::wstring& strPath)
{
    const size_t nSlash = strPath.find_last_of(L"\\/");
    const std::wstring strFolder =
        nSlash == std::wstring::npos ? std::wstring() : strPath.substr(0, nSlash + 1);
    return strFolder + NewLeftoverName();
}

bool SCIsLeftoverName(std::wstring_view name) noexcept
{
    CopyMaker maker;
    return ParseLeftoverName(name, &maker);
}

bool SCIsEndedRunLeftover(std::wstring_view name) noexcept
{
    CopyMaker maker;
    return ParseLeftoverName(name, &maker) && !ProcessMayBeCopying(maker);
}

int SCRemoveEndedRunLeftovers(const std::wstring& strFolder)
{
    std::wstring strPattern = strFolder;
    if (!strPattern.empty() && strPattern.back() != L'\\')
    {
        strPattern += L'\\';
    }
    strPattern += kLeftoverPrefix;
    strPattern += L'*';

    int nRemoved = 0;
    CFileFind finder;
    BOOL bMore = finder.FindFile(strPattern.c_str());
    while (bMore)
    {
        bMore = finder.FindNextFile();
        // The pattern also matches short names: the long name decides.
        if (finder.IsDirectory() || !SCIsEndedRunLeftover(finder.GetFindData().cFileName))
        {
            continue;
        }
        const std::wstring strPath = AfxLongPathForm(finder.GetFilePath());
        SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(strPath.c_str()))
        {
            ++nRemoved;
        }
    }
    return nRemoved;
}
