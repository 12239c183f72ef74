// QVSMakeList: publishes a release. Walks the release folder (or, with --from,
// the administrator's build folder, whose files it copies into the release
// folder) with the clients' own walk, hashes every file, and writes the release
// record HotUpdateFileList_Server.sha256 and then HotUpdateFileList_Server.txt
// into it, in server form (\\COMPUTERNAME + the path after the drive's colon),
// each replacing its older version only once the new one is complete.

#include "framework/AfxFileFind.h"
#include "lib/BlockIndex.h"
#include "lib/CopyLeftover.h"
#include "lib/File.h"
#include "lib/FileIterator.h"
#include "lib/NameFold.h"
#include "lib/ReleaseRecord.h"
#include "lib/ResString.h"
#include "lib/SelDirDlg.h"
#include "lib/Xcpt.h"
#include "resource.h"
#include "tools/QVSMakeList/Changes.h"
#include "tools/QVSMakeList/FromBuild.h"
#include "tools/QVSMakeList/Hashing.h"
#include "tools/QVSMakeList/PublishedAs.h"
#include "tools/QVSMakeList/Reports.h"
#include "tools/QVSMakeList/ReleaseWrite.h"
#include "tools/QVSMakeList/Signing.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
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
    L"       QVSMakeList.exe --sign <key file> --from <build folder> [--next-key <pub file>]\r\n"
    L"                       [--release-number N] [--published-as ...] <release folder>\r\n"
    L"       QVSMakeList.exe --sign <key file> [--accept-changes] [--next-key ...]\r\n"
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
    L"release numbered one more than the folder's last one when that one's signature\r\n"
    L"verifies (--release-number N, 1 to 18446744073709551615, sets it); --next-key\r\n"
    L"<pub file> names the key that signs the releases after this one. Clients with\r\n"
    L"a ReleaseKey install only releases signed so.\r\n"
    L"--from <build folder> (with --sign) publishes the files of your own build\r\n"
    L"folder, which share users cannot write: each is copied into the release folder\r\n"
    L"with its stamp, and the record holds the build's hashes. Files of the release\r\n"
    L"folder that the build does not have are left there and not listed.\r\n"
    L"Signed in place (without --from), the tool lists every file added, changed or\r\n"
    L"removed since the folder's last signed release and signs only with\r\n"
    L"--accept-changes.\r\n"
    L"\r\n"
    L"Exit codes: 0 list and record written; 1 bad arguments or release folder not\r\n"
    L"usable; 2 release folder missing or unreadable; 3 some files could not be\r\n"
    L"read, were being written or changed while the tool ran (nothing written);\r\n"
    L"4 the record or the list could not be written; 5 the chooser was cancelled;\r\n"
    L"6 the key file or the next key's file cannot be used, or --new-key found its\r\n"
    L"files there already; 7 the folder's record cannot be read or its signature does\r\n"
    L"not verify, so its number is not taken (give --release-number); 8 signing in\r\n"
    L"place found changes and --accept-changes was not given (nothing written).\r\n";

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

// what: "release folder" or "build folder".
ReleaseFolder CheckFolder(const std::wstring& strGiven, const std::wstring& what)
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
                        L"\" is not a path on a local drive: give the " + what +
                        L" as D:\\Release on the computer that shares the release");
    }
    const std::wstring strDriveTop = strPath.substr(0, 3);
    if (GetDriveTypeW(strDriveTop.c_str()) == DRIVE_REMOTE)
    {
        return fail(kExitBadArguments,
                    L"\"" + strPath +
                        L"\" lies on a network drive: run the tool on the computer that "
                        L"holds the release, with the " + what + L"'s local path");
    }
    const DWORD dwAttributes = GetFileAttributesW(AfxLongPathForm(strPath).c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
    {
        const DWORD dwError = GetLastError();
        return fail(kExitBadFolder, L"the " + what + L" \"" + strPath + L"\" cannot be found (" +
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
                        L"\" is the root folder of its drive: the " + what +
                        L" must be a folder such as D:\\Release below it");
    }
    CFileFind finder;
    if (!finder.FindFile((strPath + L"\\*.*").c_str()))
    {
        const DWORD dwError = GetLastError();
        return fail(kExitBadFolder, L"the " + what + L" \"" + strPath + L"\" cannot be read (" +
                                        AfxSystemErrorLine(dwError) + L")");
    }
    folder.strPath = strPath;
    return folder;
}

// Never publish the tool's own or a copy's temporary files. Those of the tool's
// ended runs in the release folder (strFolder, whose server form the entries'
// folders begin with; empty for a build folder) are removed.
void DropTemporaryEntries(FileList& list, const std::wstring& strFolder,
                          const std::wstring& strServer)
{
    std::erase_if(list,
                  [&](const std::unique_ptr<FileListEntry>& pEntry)
                  {
                      if (!strFolder.empty() && IsStaleTempName(pEntry->name) &&
                          pEntry->folder.starts_with(strServer))
                      {
                          DeleteFileW(AfxLongPathForm(strFolder + pEntry->folder.substr(
                                                                      strServer.size()) +
                                                      pEntry->name)
                                          .c_str());
                      }
                      DWORD dwProcessId = 0;
                      return IsTempName(pEntry->name, &dwProcessId) ||
                             SCIsLeftoverName(pEntry->name);
                  });
}

// The block indexes lie in the release folder, but they are not files of the release.
void DropBlockIndexEntries(FileList& list, const std::wstring& strWalkedServer)
{
    const std::wstring strIndexes = strWalkedServer + L"\\" + kBlockIndexFolder + L"\\";
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

// The hashing's counter on a console, four times a second at most.
void ShowHashCounter(size_t nDone, size_t nTotal) noexcept
{
    const ULONGLONG nNow = GetTickCount64();
    if (g_progress.bConsole && nNow - g_progress.nLastShown >= 250)
    {
        g_progress.nLastShown = nNow;
        g_progress.bCounterShown = true;
        try
        {
            Err(L"\r" + std::to_wstring(nDone) + L" of " + std::to_wstring(nTotal) +
                L" files hashed...");
        }
        catch (...)
        {
            // Only the counter is lost.
        }
    }
}

// What the release changes against the folder's last signed release, for the
// administrator to see before the key vouches for it.
std::wstring ChangesText(const RecordSigner& signer, const std::vector<FileChange>& changes)
{
    size_t nCount[3] = {};
    for (const FileChange& change : changes)
    {
        ++nCount[static_cast<int>(change.kind)];
    }
    std::wstring text = L"QVSMakeList: ";
    if (signer.Trusted() == nullptr)
    {
        text += L"no signed release to compare with (" + signer.Previous() +
                L"): every file counts as added (" + std::to_wstring(changes.size()) + L"):\r\n";
    }
    else if (changes.empty())
    {
        text += L"no file changed since " + signer.Previous() + L".\r\n";
    }
    else
    {
        text += std::to_wstring(nCount[0]) + L" added, " + std::to_wstring(nCount[1]) +
                L" changed, " + std::to_wstring(nCount[2]) + L" removed since " +
                signer.Previous() + L":\r\n";
    }
    return text + FormatChanges(changes);
}

int Publish(const std::wstring& strGivenFolder, const std::wstring& strPublishedAs = {},
            const SigningOptions& signing = {})
{
    const ReleaseFolder folder = CheckFolder(strGivenFolder, L"release folder");
    // --from: the build folder, checked as the release folder is, and apart from it.
    ReleaseFolder build;
    if (folder.strError.empty() && !signing.strFrom.empty())
    {
        build = CheckFolder(signing.strFrom, L"build folder");
        if (build.strError.empty())
        {
            build.strError = CheckBuildFolder(build.strPath, folder.strPath);
            build.nExitCode = kExitBadArguments;
        }
    }
    for (const ReleaseFolder* pFolder : {&folder, static_cast<const ReleaseFolder*>(&build)})
    {
        if (!pFolder->strError.empty())
        {
            Err(L"QVSMakeList: " + pFolder->strError + L".\r\n");
            return pFolder->nExitCode;
        }
    }
    const bool bFrom = !build.strPath.empty();
    // A key that cannot sign, or a number that cannot be known, stops the run
    // before anything is written.
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

    RemoveStaleTemps(folder.strPath);
    const ULONGLONG nStart = GetTickCount64();
    const std::wstring strComputer = ComputerName();
    const auto serverForm = [&strComputer](const std::wstring& strPath)
    { return (strComputer.empty() ? std::wstring() : L"\\\\" + strComputer) + strPath.substr(2); };
    const std::wstring strWalked = bFrom ? build.strPath : folder.strPath;
    ClearList(FileListKind::Server);
    SCFileIterator iterator;
    iterator.EnableStatusPopup(false);
    iterator.SetRootFolder(strWalked);
    iterator.Walk(FileListKind::Server, &OnWalkMessage, nullptr);
    ClearCounter();
    FileList& list = GetList(FileListKind::Server);
    const std::wstring strWalkedServer = serverForm(strWalked);
    DropTemporaryEntries(list, bFrom ? std::wstring() : folder.strPath, strWalkedServer);
    DropBlockIndexEntries(list, strWalkedServer);

    if (g_progress.nUnreadable > 0)
    {
        Err(L"QVSMakeList: " + std::to_wstring(g_progress.nUnreadable) +
            L" file(s) could not be read; the list was not written. Make them readable (or "
            L"remove them) and run the tool again.\r\n");
        return kExitUnreadableFiles;
    }
    const std::vector<std::wstring> extra =
        bFrom ? FilesNotInBuild(folder.strPath, list, strWalkedServer)
              : std::vector<std::wstring>();
    const std::wstring strSourceFolder =
        strPublishedAs.empty() ? serverForm(folder.strPath) : strPublishedAs;
    if (strSourceFolder != strWalkedServer)
    {
        RenameListFolders(list, strWalkedServer, strSourceFolder);
    }

    std::wstring strListText;
    for (const std::unique_ptr<FileListEntry>& pEntry : list)
    {
        strListText += FormatListLine(*pEntry);
    }
    std::vector<HashJob> jobs;
    std::wstring strRecord = MakeRecord(strWalked, bFrom ? folder.strPath : std::wstring(),
                                        strSourceFolder, list, strListText, jobs,
                                        &ShowHashCounter, &Err);
    ClearCounter();
    if (strRecord.empty())
    {
        DropCopies(jobs);
        Err(L"QVSMakeList: some files could not be " +
            std::wstring(bFrom ? L"copied" : L"hashed") +
            L"; neither the record nor the list was written. Let the programs that write them "
            L"finish (or remove the files) and run the tool again.\r\n");
        return kExitUnreadableFiles;
    }
    if (signing.IsSigning())
    {
        const std::vector<FileChange> changes =
            ChangesSince(signer.Trusted(), signer.TrustedText(), jobs);
        Out(ChangesText(signer, changes));
        if (!bFrom && !changes.empty() && !signing.bAcceptChanges)
        {
            Err(L"QVSMakeList: signing would vouch for every change listed above, and anyone "
                L"who can write the release folder may have made one; nothing was written. "
                L"Check each one, then sign with --accept-changes, or publish from your own "
                L"build folder with --from.\r\n");
            return kExitChangesNotAccepted;
        }
        const DWORD dwError = signer.Sign(strRecord);
        if (dwError != ERROR_SUCCESS)
        {
            DropCopies(jobs);
            Err(L"QVSMakeList: the record cannot be signed (" + AfxSystemErrorLine(dwError) +
                L"); neither the record nor the list was written.\r\n");
            return kExitKeyUnusable;
        }
    }
    // The files first, then the record, then the list: a client that finds a new
    // list finds its record and its files too.
    const std::wstring strFailed = bFrom ? PlaceCopies(jobs) : std::wstring();
    if (!strFailed.empty())
    {
        Err(L"QVSMakeList: cannot put the copy of " + strFailed +
            L" in place; the files before it in the list were replaced, the record and the "
            L"list were not written (desktops refuse the replaced files until they are).\r\n");
        return kExitWriteFailed;
    }
    for (const auto& [pszName, pText] :
         {std::pair{kReleaseRecordName, &strRecord}, std::pair{kServerListName, &strListText}})
    {
        const DWORD dwError = WriteReplacing(folder.strPath, pszName, *pText);
        if (dwError != ERROR_SUCCESS)
        {
            Err(L"QVSMakeList: cannot write " + folder.strPath + L"\\" + pszName + L" (" +
                AfxSystemErrorLine(dwError) + L").\r\n");
            return kExitWriteFailed;
        }
    }
    if (!extra.empty())
    {
        std::wstring text =
            L"QVSMakeList: " + std::to_wstring(extra.size()) +
            L" file(s) of the release folder that the build folder does not "
            L"have were left there and are not listed (no desktop copies them):\r\n";
        for (const std::wstring& strPath : extra)
        {
            text += L"  " + strPath + L"\r\n";
        }
        Out(text);
    }
    Out(L"QVSMakeList: " + std::to_wstring(list.size()) + L" files in " +
        std::to_wstring(g_progress.nFolders) + L" folders " +
        (bFrom ? L"copied from " + build.strPath + L", listed" : std::wstring(L"listed")) +
        L" and hashed in " + Seconds(GetTickCount64() - nStart) + L" into " + folder.strPath +
        L"\\" + kServerListName + L" and " + kReleaseRecordName +
        (signing.IsSigning() ? signer.Summary() : L"") + L" (SourceFolder=" + strSourceFolder +
        L")\r\n");
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
