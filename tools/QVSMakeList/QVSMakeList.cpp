// QVSMakeList: publishes a release. Walks the release folder with the clients'
// own walk, hashes every file, and writes the release record
// HotUpdateFileList_Server.sha256 and then HotUpdateFileList_Server.txt into it,
// in server form (\\COMPUTERNAME + the path after the drive's colon), each
// replacing its older version only once the new one is complete.

#include "framework/AfxFileFind.h"
#include "lib/BlockIndex.h"
#include "lib/BlockIndexPublish.h"
#include "lib/CopyLeftover.h"
#include "lib/File.h"
#include "lib/FileIterator.h"
#include "lib/NameFold.h"
#include "lib/ReleaseRecord.h"
#include "lib/ResString.h"
#include "lib/SelDirDlg.h"
#include "lib/Xcpt.h"
#include "resource.h"
#include "tools/QVSMakeList/PublishedAs.h"
#include "tools/QVSMakeList/Reports.h"
#include "tools/QVSMakeList/Signing.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace
{
enum ExitCode : int
{
    kExitListed = 0,
    kExitBadArguments = 1,
    kExitBadFolder = 2,
    kExitUnreadableFiles = 3,
    kExitWriteFailed = 4,
    kExitCancelled = 5,
};

constexpr std::wstring_view kTempPrefix = L"~QVSMakeList-";
constexpr std::wstring_view kTempSuffix = L".tmp";
// The record's temporary file: the list's name with this before the suffix.
constexpr std::wstring_view kRecordTempTag = L"-sha256";

// ---- Output: wide text on a console, UTF-8 when redirected ----

// Started from Explorer the tool has no console to write to: its output is
// gathered here and shown in a message box at the end.
std::wstring* g_pCapture = nullptr;

bool IsConsole(HANDLE h) noexcept
{
    DWORD dwMode = 0;
    return GetConsoleMode(h, &dwMode) != FALSE;
}

void Write(DWORD nStdHandle, std::wstring_view text)
{
    if (g_pCapture != nullptr)
    {
        g_pCapture->append(text);
        return;
    }
    const HANDLE h = GetStdHandle(nStdHandle);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || text.empty())
    {
        return;
    }
    DWORD n = 0;
    if (IsConsole(h))
    {
        WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
        return;
    }
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        nBytes, nullptr, nullptr);
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

void Out(std::wstring_view text)
{
    Write(STD_OUTPUT_HANDLE, text);
}

void Err(std::wstring_view text)
{
    Write(STD_ERROR_HANDLE, text);
}

std::wstring ComputerName()
{
    wchar_t szName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(szName, &n) ? std::wstring(szName, n) : std::wstring();
}

// ---- Arguments ----

const wchar_t kUsage[] =
    L"Usage: QVSMakeList.exe [--published-as \\\\server\\share[\\...]] <release folder>\r\n"
    L"       QVSMakeList.exe --sign <key file> [--next-key <pub file>]\r\n"
    L"                       [--release-number N] [--published-as ...] <release folder>\r\n"
    L"       QVSMakeList.exe --new-key <key file>\r\n"
    L"       QVSMakeList.exe --report <report folder>\r\n"
    L"       QVSMakeList.exe          (choose the folder in a dialog)\r\n"
    L"       QVSMakeList.exe --help\r\n";

const wchar_t kHelp[] =
    L"QVSMakeList - writes the hot-update list of a release folder.\r\n"
    L"\r\n"
    L"Usage: QVSMakeList.exe <release folder>\r\n"
    L"Started without arguments (from Explorer, say) it asks for the folder in a\r\n"
    L"dialog and shows its summary in a message box.\r\n"
    L"\r\n"
    L"Lists every file below the release folder, with its folder and last-write\r\n"
    L"time, into <release folder>\\HotUpdateFileList_Server.txt. The QVS clients\r\n"
    L"read that list to decide which files to copy. Beside it goes the release\r\n"
    L"record HotUpdateFileList_Server.sha256: the size and SHA-256 of every listed\r\n"
    L"file, which the clients check each copied file against before installing it\r\n"
    L"(a file still being written, damaged, or changed after the list was made is\r\n"
    L"not installed). The record is written first, then the list; each replaces\r\n"
    L"its older version in one step, only once the new one is complete. The list\r\n"
    L"files, the record and anything named QVSCliUpdate.log are not listed.\r\n"
    L"Files of 1 MB or more get a block index in HotUpdateFileList_Server.blocks,\r\n"
    L"named in the record, from which clients read only the blocks that changed.\r\n"
    L"\r\n"
    L"Folders are written in server form: two backslashes, this computer's name,\r\n"
    L"then the path after the drive's colon. For D:\\Release on a computer named\r\n"
    L"SRV01 that is \\\\SRV01\\Release, so:\r\n"
    L"  - run the tool on the computer that holds the release, on a local drive\r\n"
    L"    (not a mapped network drive, not a \\\\server\\share path);\r\n"
    L"  - share the top folder of the release's path under its own name (D:\\Release\r\n"
    L"    as \\\\SRV01\\Release; for D:\\Builds\\QVS share D:\\Builds as\r\n"
    L"    \\\\SRV01\\Builds, and clients reach the release as \\\\SRV01\\Builds\\QVS),\r\n"
    L"    readable by every client user; a drive's root cannot be a release.\r\n"
    L"\r\n"
    L"In each client's QVS.ini, section [HotUpdate], set SourceFolder to the\r\n"
    L"release folder in the same form, without a final backslash:\r\n"
    L"    SourceFolder=\\\\SRV01\\Release\r\n"
    L"The summary line printed after each run shows the exact value.\r\n"
    L"\r\n"
    L"--published-as \\\\server\\share[\\...] names the folders under that path instead,\r\n"
    L"for clients that reach the release through a DFS namespace or another name of\r\n"
    L"the server (\\\\corp.example\\apps\\Release); their SourceFolder is that path.\r\n"
    L"\r\n"
    L"--report <report folder> reads the reports the clients leave in their\r\n"
    L"ReportFolder (QVS.ini, section [HotUpdate]), prints the desktops per release,\r\n"
    L"those that failed and those not heard from for a week, and writes report.html\r\n"
    L"beside the reports.\r\n"
    L"\r\n"
    L"Signed releases: --new-key <key file> makes a key pair, sealed for this\r\n"
    L"Windows account, its public key in <key file>.pub and the ReleaseKey line\r\n"
    L"for the clients' QVS.ini. --sign <key file> signs the release record, as the\r\n"
    L"release numbered one more than the folder's last one (--release-number N\r\n"
    L"sets it); --next-key <pub file> names the key that signs the releases after\r\n"
    L"this one. Clients with a ReleaseKey install only releases signed so.\r\n"
    L"\r\n"
    L"Exit codes: 0 list and record written; 1 bad arguments or release folder not\r\n"
    L"usable; 2 release folder missing or unreadable; 3 some files could not be\r\n"
    L"read, were being written or changed while the tool ran (nothing written);\r\n"
    L"4 the record or the list could not be written; 5 the chooser was cancelled;\r\n"
    L"6 the key file or the next key's file cannot be used, or --new-key found its\r\n"
    L"files there already; 7 the folder's record cannot tell the last release number\r\n"
    L"(give --release-number). Nothing is written after a failure before the walk.\r\n";

struct Options
{
    bool bHelp = false;
    bool bPick = false; // no arguments at all: the folder is chosen in a dialog
    std::wstring strFolder;
    std::wstring strPublishedAs; // the folder form's path instead of \\COMPUTER\...
    bool bReport = false;        // strFolder is a report folder to sum up
    std::wstring strError;       // not empty: the arguments cannot be used
    SigningOptions signing;
};

// Every way of starting the tool is decided here, and only here.
Options ParseArguments(int argc, wchar_t** argv)
{
    Options options;
    if (argc <= 1)
    {
        options.bPick = true;
        return options;
    }
    std::vector<std::wstring> folders;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring_view arg = argv[i];
        if (arg == L"--help" || arg == L"-h" || arg == L"/?" || arg == L"-?")
        {
            options.bHelp = true;
        }
        else if (arg == L"--published-as" || arg == L"--report")
        {
            if (i + 1 >= argc)
            {
                options.strError = std::wstring(arg) + L" needs a value";
                break;
            }
            if (arg == L"--report")
            {
                options.bReport = true;
                folders.emplace_back(argv[++i]);
            }
            else
            {
                options.strPublishedAs = CheckPublishedAs(argv[++i], options.strError);
                if (options.strPublishedAs.empty())
                {
                    break;
                }
            }
        }
        else if (TakeSigningOption(argc, argv, i, options.signing, options.strError))
        {
            // --new-key, --sign, --next-key, --release-number: taken with their values.
        }
        else if (arg.starts_with(L"--") || (arg.size() > 1 && arg[0] == L'-'))
        {
            options.strError = L"unknown option " + std::wstring(arg);
        }
        else
        {
            folders.emplace_back(arg);
        }
    }
    if (options.bHelp || !options.strError.empty())
    {
        return options;
    }
    options.strError = CheckSigningOptions(options.signing, !folders.empty());
    if (!options.strError.empty() || !options.signing.strNewKey.empty())
    {
        return options;
    }
    if (folders.empty())
    {
        options.strError = L"no release folder given";
    }
    else if (folders.size() > 1)
    {
        options.strError = L"more than one release folder given";
    }
    else if (options.bReport && !options.strPublishedAs.empty())
    {
        options.strError = L"--published-as names a release, not a report folder";
    }
    else if (options.bReport && options.signing.IsSigning())
    {
        options.strError = L"--sign signs a release, not a report folder";
    }
    else
    {
        options.strFolder = folders.front();
    }
    return options;
}

// ---- The release folder ----

std::wstring FullPath(const std::wstring& strPath)
{
    std::vector<wchar_t> buffer(strPath.size() + MAX_PATH);
    DWORD n = GetFullPathNameW(strPath.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(),
                               nullptr);
    if (n >= buffer.size())
    {
        buffer.resize(n + 1);
        n = GetFullPathNameW(strPath.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(),
                             nullptr);
    }
    return n != 0 && n < buffer.size() ? std::wstring(buffer.data(), n) : std::wstring();
}

// The release folder as a full local path without a final backslash, or a
// message (and exit code) saying why it cannot be published.
struct ReleaseFolder
{
    std::wstring strPath;
    std::wstring strError;
    int nExitCode = kExitListed;
};

ReleaseFolder CheckReleaseFolder(const std::wstring& strGiven)
{
    ReleaseFolder folder;
    std::wstring strPath = FullPath(strGiven);
    while (strPath.size() > 3 && strPath.back() == L'\\')
    {
        strPath.pop_back();
    }
    const auto fail = [&folder](int nExitCode, std::wstring strError)
    {
        folder.nExitCode = nExitCode;
        folder.strError = std::move(strError);
        return folder;
    };
    const bool bDrivePath = strPath.size() >= 3 && strPath[1] == L':' && strPath[2] == L'\\';
    if (!bDrivePath)
    {
        return fail(kExitBadArguments,
                    L"\"" + strGiven +
                        L"\" is not a path on a local drive: give the release folder as "
                        L"D:\\Release on the computer that shares it");
    }
    const std::wstring strDriveTop = strPath.substr(0, 3);
    if (GetDriveTypeW(strDriveTop.c_str()) == DRIVE_REMOTE)
    {
        return fail(kExitBadArguments,
                    L"\"" + strPath +
                        L"\" lies on a network drive: run the tool on the computer that "
                        L"holds the release, with its local path");
    }
    const DWORD dwAttributes = GetFileAttributesW(AfxLongPathForm(strPath).c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
    {
        const DWORD dwError = GetLastError();
        return fail(kExitBadFolder, L"the release folder \"" + strPath + L"\" cannot be found (" +
                                        AfxSystemErrorLine(dwError) + L")");
    }
    if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    {
        return fail(kExitBadFolder, L"\"" + strPath + L"\" is a file, not a folder");
    }
    if (strPath.size() <= 3)
    {
        // Its files would be named \\SRV01\<folder>: no share holds them all.
        return fail(kExitBadArguments,
                    L"\"" + strPath +
                        L"\" is the root folder of its drive: the release must be a folder "
                        L"such as D:\\Release, shared through the top folder of its path");
    }
    CFileFind finder;
    if (!finder.FindFile((strPath + L"\\*.*").c_str()))
    {
        const DWORD dwError = GetLastError();
        return fail(kExitBadFolder, L"the release folder \"" + strPath + L"\" cannot be read (" +
                                        AfxSystemErrorLine(dwError) + L")");
    }
    folder.strPath = strPath;
    return folder;
}

// ---- Temporary list files ----

// "~QVSMakeList-" + process number + tag + ".tmp": the list's with no tag, the
// record's with kRecordTempTag.
std::wstring TempListName(std::wstring_view tag)
{
    wchar_t szId[16] = {};
    swprintf(szId, 16, L"%lx", GetCurrentProcessId());
    return std::wstring(kTempPrefix) + szId + std::wstring(tag) + std::wstring(kTempSuffix);
}

bool IsTempListName(std::wstring_view name, DWORD* pProcessId)
{
    if (name.size() <= kTempPrefix.size() + kTempSuffix.size() ||
        CompareStringOrdinal(name.data(), static_cast<int>(kTempPrefix.size()), kTempPrefix.data(),
                             static_cast<int>(kTempPrefix.size()), TRUE) != CSTR_EQUAL ||
        CompareStringOrdinal(name.data() + name.size() - kTempSuffix.size(),
                             static_cast<int>(kTempSuffix.size()), kTempSuffix.data(),
                             static_cast<int>(kTempSuffix.size()), TRUE) != CSTR_EQUAL)
    {
        return false;
    }
    std::wstring_view middle =
        name.substr(kTempPrefix.size(), name.size() - kTempPrefix.size() - kTempSuffix.size());
    if (middle.size() > kRecordTempTag.size() &&
        CompareStringOrdinal(middle.data() + middle.size() - kRecordTempTag.size(),
                             static_cast<int>(kRecordTempTag.size()), kRecordTempTag.data(),
                             static_cast<int>(kRecordTempTag.size()), TRUE) == CSTR_EQUAL)
    {
        middle.remove_suffix(kRecordTempTag.size());
    }
    const std::wstring digits(middle);
    wchar_t* pEnd = nullptr;
    const unsigned long nId = wcstoul(digits.c_str(), &pEnd, 16);
    if (digits.empty() || digits.size() > 8 || pEnd == nullptr || *pEnd != L'\0')
    {
        return false;
    }
    *pProcessId = static_cast<DWORD>(nId);
    return true;
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

// Lists of runs that were stopped half-way must not be published as files.
void RemoveStaleTempLists(const std::wstring& strFolder)
{
    CFileFind finder;
    BOOL bMore = finder.FindFile((strFolder + L"\\" + std::wstring(kTempPrefix) + L"*").c_str());
    while (bMore)
    {
        bMore = finder.FindNextFile();
        DWORD dwProcessId = 0;
        if (!finder.IsDirectory() && IsTempListName(finder.GetFindData().cFileName, &dwProcessId) &&
            !ProcessRuns(dwProcessId))
        {
            const std::wstring strPath = AfxLongPathForm(finder.GetFilePath());
            SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(strPath.c_str());
        }
    }
}

// Never publish the tool's own or a copy's temporary files.
void DropTemporaryEntries(FileList& list)
{
    std::erase_if(list,
                  [](const std::unique_ptr<FileListEntry>& pEntry)
                  {
                      DWORD dwProcessId = 0;
                      return IsTempListName(pEntry->name, &dwProcessId) ||
                             SCIsLeftoverName(pEntry->name);
                  });
}

// The block indexes lie in the release folder, but they are not files of the release.
void DropBlockIndexEntries(FileList& list, const std::wstring& strFolder)
{
    const std::wstring strIndexes = ListFolderFromPath(
        FileListKind::Server, strFolder + L"\\" + kBlockIndexFolder + L"\\x", ComputerName());
    std::erase_if(list, [&strIndexes](const std::unique_ptr<FileListEntry>& pEntry)
                  { return StartsWithNoCase(pEntry->folder, strIndexes); });
}

// ---- The walk ----

struct WalkProgress
{
    std::wstring strReading;
    std::wstring strError;
    size_t nFolders = 1; // the release folder itself
    size_t nUnreadable = 0;
    bool bConsole = false;
    bool bCounterShown = false;
    ULONGLONG nLastShown = 0;
};

WalkProgress g_progress;

void ClearCounter()
{
    if (g_progress.bCounterShown)
    {
        Err(L"\r" + std::wstring(60, L' ') + L"\r");
        g_progress.bCounterShown = false;
    }
}

LRESULT OnWalkMessage(const std::wstring& strMessage, CWnd*)
{
    if (!g_progress.strReading.empty() && strMessage.starts_with(g_progress.strReading))
    {
        ++g_progress.nFolders;
    }
    else if (!g_progress.strError.empty() && strMessage.starts_with(g_progress.strError))
    {
        ++g_progress.nUnreadable;
        ClearCounter();
        Err(L"cannot read: " + strMessage.substr(g_progress.strError.size()));
    }
    const ULONGLONG nNow = GetTickCount64();
    if (g_progress.bConsole && nNow - g_progress.nLastShown >= 250)
    {
        g_progress.nLastShown = nNow;
        g_progress.bCounterShown = true;
        Err(L"\r" + std::to_wstring(GetList(FileListKind::Server).size()) + L" files in " +
            std::to_wstring(g_progress.nFolders) + L" folders...");
    }
    return 0;
}

// ---- The list file ----

bool WriteAll(HANDLE h, const std::wstring& text)
{
    const char* p = reinterpret_cast<const char*>(text.data());
    size_t nLeft = text.size() * sizeof(wchar_t);
    while (nLeft > 0)
    {
        const DWORD nChunk = nLeft > (1u << 20) ? (1u << 20) : static_cast<DWORD>(nLeft);
        DWORD nWritten = 0;
        if (!WriteFile(h, p, nChunk, &nWritten, nullptr) || nWritten != nChunk)
        {
            return false;
        }
        p += nChunk;
        nLeft -= nChunk;
    }
    return true;
}

// Writes text into a temporary file beside the old file of that name, then
// replaces the old one in one step: a client never reads half a list or half a
// record. ERROR_SUCCESS or why not.
DWORD WriteReplacing(const std::wstring& strFolder, const wchar_t* pszName,
                     std::wstring_view tempTag, const std::wstring& text)
{
    const std::wstring strTemp = AfxLongPathForm(strFolder + L"\\" + TempListName(tempTag));
    const std::wstring strList = AfxLongPathForm(strFolder + L"\\" + pszName);
    {
        const UniqueFile file(CreateFileW(strTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
        {
            return GetLastError();
        }
        if (!WriteAll(file.get(), text) || !FlushFileBuffers(file.get()))
        {
            const DWORD dwError = GetLastError();
            DeleteFileW(strTemp.c_str());
            return dwError != ERROR_SUCCESS ? dwError : ERROR_WRITE_FAULT;
        }
    }
    const DWORD dwOldAttributes = GetFileAttributesW(strList.c_str());
    if (dwOldAttributes != INVALID_FILE_ATTRIBUTES && (dwOldAttributes & FILE_ATTRIBUTE_READONLY))
    {
        SetFileAttributesW(strList.c_str(), dwOldAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    // A client that reads the old list at this moment holds it open for a short while.
    DWORD dwError = ERROR_SUCCESS;
    for (int nTry = 0; nTry < 40; ++nTry)
    {
        if (MoveFileExW(strTemp.c_str(), strList.c_str(),
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
    if (dwOldAttributes != INVALID_FILE_ATTRIBUTES && (dwOldAttributes & FILE_ATTRIBUTE_READONLY))
    {
        SetFileAttributesW(strList.c_str(), dwOldAttributes);
    }
    DeleteFileW(strTemp.c_str());
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

// ---- The release record ----

// One listed file: where it lies here, and its size and SHA-256 once hashed.
struct HashJob
{
    const FileListEntry* pEntry = nullptr;
    std::wstring strPath;
    SCReleaseRecord::Item item;
    std::wstring strProblem; // why it has no record line; empty when it has one
};

// Hashes one listed file. It is opened without sharing write access, so a file
// that someone is still writing is reported rather than hashed half-way, and
// its last-write time must still be the list's stamp: the list and the record
// describe the same file.
void HashListedFile(HashJob& job) noexcept
{
    try
    {
        const UniqueFile file(CreateFileW(AfxLongPathForm(job.strPath).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file)
        {
            job.strProblem = AfxSystemErrorLine(GetLastError());
            return;
        }
        const DWORD dwError = SCSha256::HashOpenFile(file.get(), job.item.digest, &job.item.nSize);
        if (dwError != ERROR_SUCCESS)
        {
            job.strProblem = AfxSystemErrorLine(dwError);
            return;
        }
        FILETIME ftWrite{};
        std::wstring stamp;
        if (!GetFileTime(file.get(), nullptr, nullptr, &ftWrite) ||
            !ListStampOfFileTime(ftWrite, stamp))
        {
            job.strProblem = AfxSystemErrorLine(GetLastError());
            return;
        }
        if (stamp != job.pEntry->modified)
        {
            job.strProblem = L"it changed while the tool ran";
        }
    }
    catch (...)
    {
        job.strProblem = L"out of memory";
    }
}

// Hashes every job on a few threads: a release may hold many large files.
void HashListedFiles(std::vector<HashJob>& jobs)
{
    std::atomic<size_t> next{0};
    const auto work = [&jobs, &next](bool bShow) noexcept
    {
        for (size_t i = next++; i < jobs.size(); i = next++)
        {
            HashListedFile(jobs[i]);
            const ULONGLONG nNow = GetTickCount64();
            if (bShow && g_progress.bConsole && nNow - g_progress.nLastShown >= 250)
            {
                g_progress.nLastShown = nNow;
                g_progress.bCounterShown = true;
                try
                {
                    Err(L"\r" + std::to_wstring(std::min(i + 1, jobs.size())) + L" of " +
                        std::to_wstring(jobs.size()) + L" files hashed...");
                }
                catch (...)
                {
                    // Only the counter is lost.
                }
            }
        }
    };
    const unsigned nThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    std::vector<std::thread> helpers;
    try
    {
        helpers.reserve(nThreads);
        for (unsigned n = 1; n < nThreads; ++n)
        {
            helpers.emplace_back(work, false);
        }
    }
    catch (...)
    {
        // Fewer helpers, or none: this thread hashes what is left.
    }
    work(true);
    for (std::thread& helper : helpers)
    {
        helper.join();
    }
    ClearCounter();
}

// The record of the listed files and the list text: every file hashed, each
// problem reported. Empty when a file has no line (the problems were shown).
std::wstring MakeRecord(const std::wstring& strFolder, const std::wstring& strServerFolder,
                        const FileList& list, const std::wstring& strListText)
{
    std::vector<HashJob> jobs(list.size());
    for (size_t i = 0; i < list.size(); ++i)
    {
        HashJob& job = jobs[i];
        const FileListEntry& entry = *list[i];
        job.pEntry = &entry;
        // The entry's folder is the server form of a folder below strFolder.
        if (!SCReleaseRecord::CanRecord(entry.folder, entry.name) ||
            !entry.folder.starts_with(strServerFolder))
        {
            job.strPath = entry.folder + entry.name;
            job.strProblem = L"its folder or name cannot be recorded";
            continue;
        }
        job.strPath = strFolder + entry.folder.substr(strServerFolder.size()) + entry.name;
    }
    HashListedFiles(jobs);

    size_t nProblems = 0;
    for (const HashJob& job : jobs)
    {
        if (!job.strProblem.empty())
        {
            ++nProblems;
            Err(L"cannot hash: " + job.strPath + L" (" + job.strProblem + L")\r\n");
        }
    }
    SCSha256::Digest listDigest{};
    if (nProblems > 0 ||
        !SCSha256::HashBytes(strListText.data(), strListText.size() * sizeof(wchar_t), listDigest))
    {
        return std::wstring();
    }
    std::wstring text = SCReleaseRecord::FormatFirstLine(listDigest);
    for (const HashJob& job : jobs)
    {
        text += SCReleaseRecord::FormatLine(job.pEntry->folder, job.pEntry->name, job.item);
    }

    // The block indexes of the large files, written beside the record: their lines
    // follow the files' and come before a signed block, which so covers them.
    std::vector<SCIndexedFile> indexed;
    for (const HashJob& job : jobs)
    {
        indexed.push_back({job.strPath, job.pEntry->modified, job.item});
    }
    const SCBlockIndexes indexes = SCPublishBlockIndexes(strFolder, indexed);
    for (const std::wstring& strProblem : indexes.problems)
    {
        Err(L"cannot index: " + strProblem + L"\r\n");
    }
    if (!indexes.problems.empty() || indexes.dwWriteError != ERROR_SUCCESS)
    {
        if (indexes.dwWriteError != ERROR_SUCCESS)
        {
            Err(L"cannot write the block indexes into " + strFolder + L"\\" + kBlockIndexFolder +
                L" (" + AfxSystemErrorLine(indexes.dwWriteError) + L")\r\n");
        }
        return std::wstring();
    }
    return text + indexes.strRecordLines;
}

std::wstring ModulePath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;)
    {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
        {
            return std::wstring();
        }
        if (n < buffer.size())
        {
            return std::wstring(buffer.data(), n);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring Seconds(ULONGLONG nMilliseconds)
{
    wchar_t szText[32] = {};
    swprintf(szText, 32, L"%.2f s", static_cast<double>(nMilliseconds) / 1000.0);
    return szText;
}

int Publish(const std::wstring& strGivenFolder, const std::wstring& strPublishedAs = {},
            const SigningOptions& signing = {})
{
    const ReleaseFolder folder = CheckReleaseFolder(strGivenFolder);
    if (!folder.strError.empty())
    {
        Err(L"QVSMakeList: " + folder.strError + L".\r\n");
        return folder.nExitCode;
    }
    // A key that cannot sign stops the run before anything is written.
    RecordSigner signer;
    if (signing.IsSigning())
    {
        SigningResult prepared;
        const bool bReady = signer.Prepare(signing, folder.strPath, prepared);
        if (!prepared.strError.empty())
        {
            Err(L"QVSMakeList: " + prepared.strError + L".\r\n");
        }
        if (!bReady)
        {
            return prepared.nExitCode;
        }
    }
    // The walk's messages come from this program's own string table.
    const std::wstring strModule = ModulePath();
    SCResUString::LoadModule(strModule.c_str());
    SCResAString::LoadModule(strModule.c_str());
    g_progress.strReading = SCResUString(IDS_READING_DIRECTORY);
    g_progress.strError = SCResUString(IDS_ERROR);
    g_progress.bConsole = IsConsole(GetStdHandle(STD_ERROR_HANDLE));

    RemoveStaleTempLists(folder.strPath);
    const ULONGLONG nStart = GetTickCount64();
    ClearList(FileListKind::Server);
    SCFileIterator iterator;
    iterator.EnableStatusPopup(false);
    iterator.SetRootFolder(folder.strPath);
    iterator.Walk(FileListKind::Server, &OnWalkMessage, nullptr);
    ClearCounter();
    FileList& list = GetList(FileListKind::Server);
    DropTemporaryEntries(list);
    DropBlockIndexEntries(list, folder.strPath);

    if (g_progress.nUnreadable > 0)
    {
        Err(L"QVSMakeList: " + std::to_wstring(g_progress.nUnreadable) +
            L" file(s) could not be read; the list was not written. Make them readable (or "
            L"remove them) and run the tool again.\r\n");
        return kExitUnreadableFiles;
    }
    const std::wstring strComputer = ComputerName();
    std::wstring strSourceFolder =
        (strComputer.empty() ? std::wstring() : L"\\\\" + strComputer) + folder.strPath.substr(2);
    if (!strPublishedAs.empty())
    {
        RenameListFolders(list, strSourceFolder, strPublishedAs);
        strSourceFolder = strPublishedAs;
    }

    std::wstring strListText;
    for (const std::unique_ptr<FileListEntry>& pEntry : list)
    {
        strListText += FormatListLine(*pEntry);
    }
    std::wstring strRecord = MakeRecord(folder.strPath, strSourceFolder, list, strListText);
    if (strRecord.empty())
    {
        Err(L"QVSMakeList: some files could not be hashed; neither the record nor the list was "
            L"written. Let the programs that write them finish (or remove the files) and run "
            L"the tool again.\r\n");
        return kExitUnreadableFiles;
    }
    if (signing.IsSigning())
    {
        const DWORD dwError = signer.Sign(strRecord);
        if (dwError != ERROR_SUCCESS)
        {
            Err(L"QVSMakeList: the record cannot be signed (" + AfxSystemErrorLine(dwError) +
                L"); neither the record nor the list was written.\r\n");
            return kExitKeyUnusable;
        }
    }
    const auto write = [&folder](const wchar_t* pszName, std::wstring_view tag,
                                 const std::wstring& text)
    {
        const DWORD dwError = WriteReplacing(folder.strPath, pszName, tag, text);
        if (dwError != ERROR_SUCCESS)
        {
            Err(L"QVSMakeList: cannot write " + folder.strPath + L"\\" + pszName + L" (" +
                AfxSystemErrorLine(dwError) + L").\r\n");
        }
        return dwError == ERROR_SUCCESS;
    };
    // The record goes first: a client that finds a new list finds its record too.
    if (!write(kReleaseRecordName, kRecordTempTag, strRecord) ||
        !write(kServerListName, std::wstring_view(), strListText))
    {
        return kExitWriteFailed;
    }
    Out(L"QVSMakeList: " + std::to_wstring(list.size()) + L" files in " +
        std::to_wstring(g_progress.nFolders) + L" folders listed and hashed in " +
        Seconds(GetTickCount64() - nStart) + L" into " + folder.strPath + L"\\" + kServerListName +
        L" and " + kReleaseRecordName + (signing.IsSigning() ? signer.Summary() : L"") +
        L" (SourceFolder=" + strSourceFolder + L")\r\n");
    return kExitListed;
}
// The folder chosen in the directory chooser, or empty after Cancel.
std::wstring PickReleaseFolder()
{
    CSelDirDlg dlg;
    std::wstring strFolder;
    if (dlg.DoModal() == IDOK)
    {
        dlg.GetSelectedFolder(strFolder);
        // "D:" alone would mean the current folder of drive D:, not its root.
        if (strFolder.size() == 2 && strFolder[1] == L':')
        {
            strFolder += L'\\';
        }
    }
    return strFolder;
}

// Started without arguments: the folder comes from the chooser and the summary
// (or what went wrong) goes to a message box, not to a console nobody reads.
int PublishWithPicker()
{
    DWORD processes[2] = {};
    if (GetConsoleProcessList(processes, 2) == 1)
    {
        // The console was made for this program alone (started from Explorer).
        FreeConsole();
    }
    const std::wstring strFolder = PickReleaseFolder();
    if (strFolder.empty())
    {
        return kExitCancelled;
    }
    std::wstring strOutput;
    g_pCapture = &strOutput;
    int nExit = kExitWriteFailed;
    try
    {
        nExit = Publish(strFolder);
    }
    catch (...)
    {
        g_pCapture = nullptr;
        throw;
    }
    g_pCapture = nullptr;
    while (!strOutput.empty() && (strOutput.back() == L'\n' || strOutput.back() == L'\r'))
    {
        strOutput.pop_back();
    }
    SCMessageBox(nullptr, strOutput.c_str(), L"QVSMakeList",
                 MB_OK | MB_SETFOREGROUND |
                     (nExit == kExitListed ? MB_ICONINFORMATION : MB_ICONERROR));
    return nExit;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    // No error box may stop a tool that runs unattended.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    try
    {
        const Options options = ParseArguments(argc, argv);
        if (options.bPick)
        {
            return PublishWithPicker();
        }
        if (options.bHelp)
        {
            Out(kHelp);
            return kExitListed;
        }
        if (!options.strError.empty())
        {
            Err(L"QVSMakeList: " + options.strError + L".\r\n" + kUsage +
                L"QVSMakeList.exe --help explains the list and the share.\r\n");
            return kExitBadArguments;
        }
        if (!options.signing.strNewKey.empty())
        {
            const SigningResult made = MakeNewKey(options.signing.strNewKey);
            Out(made.strOut);
            if (!made.strError.empty())
            {
                Err(L"QVSMakeList: " + made.strError + L".\r\n");
            }
            return made.nExitCode;
        }
        if (options.bReport)
        {
            return SummariseReports(options.strFolder, &Out, &Err);
        }
        return Publish(options.strFolder, options.strPublishedAs, options.signing);
    }
    catch (CException* e)
    {
        wchar_t szText[512] = {};
        e->GetErrorMessage(szText, 512);
        e->Delete();
        Err(std::wstring(L"QVSMakeList: failed: ") + szText + L"\r\n");
    }
    catch (const std::exception&)
    {
        Err(L"QVSMakeList: failed: out of memory or internal error.\r\n");
    }
    return kExitWriteFailed;
}
