// The timing driver of bench/run: a Windows console program, run under Wine, that
// makes the benchmark's installations and releases, starts the programs it times
// itself (so that every candidate pays the same process start), and prints one
// machine-readable "RESULT" line per measurement on standard output. Progress
// goes to standard error.
//
//   QVSBench make-tree <folder> <files>
//       a tree of <files> files, 20 to a folder, three folder levels deep
//   QVSBench make-start <folder>
//       <folder>\inst (QVSCliUpdate.exe, the stand-in client as QVS.exe,
//       BareLauncher.exe, DialogLauncher.exe, QVS.ini) and <folder>\release, a
//       small published release
//   QVSBench make-run <folder> <files>
//       <folder>\inst: the tree of <files> files and bin\ with the programs;
//       <folder>\release: the same tree with 1 % of the files changed and 0.25 %
//       added, a fifth of those in new folders of 2 (from 20,000 files on, those of
//       20,000: 200 changed, 50 added, 10 of them in 5 new folders), published with
//       QVSMakeList.exe
//   QVSBench make-release <folder> <files> <published as>
//       the release of make-run at <folder>, published as <published as> (the same
//       folder through the stalling share's mount)
//   QVSBench make-verify <folder>
//       <folder>\inst with 200 small old files in data\, <folder>\release with the
//       same 200 files of 1 MB, newer, published (list and release record)
//   QVSBench reset-run <folder> <files>
//       puts a run's installation back as make-run left it
//   QVSBench edit <lines> <batch> [prepend]
//       the program's dialog fed with entry lines in batches, as the walk feeds it
//   QVSBench start <folder> <rounds>
//       from CreateProcess to the stand-in client's first instruction: the client
//       directly, BareLauncher.exe, DialogLauncher.exe, QVSCliUpdate.exe with
//       nothing to update
//   QVSBench walk <rounds> <folder>...
//       SCFileIterator::Walk against a bare walk that only opens and queries
//       each file (neither has a callback or a status popup), and a walk that only
//       searches the folders; one RESULT line per folder
//   QVSBench full-run <folder> <files> <rounds>
//       QVSCliUpdate.exe /force (start to the client's start) against this
//       program's walk-copy and against xcopy /E /D /Y /I, each from the same state
//   QVSBench walk-copy <folder> <files>
//       (the baseline child) SCFileIterator::Walk of the installation and
//       CopyFiles of the run's plan, nothing else
//   QVSBench verify-copy <share folder> <share UNC> <rounds>
//       CopyFiles of 200 files of 1 MB from <share UNC>\verify-release\bin (written
//       through <share folder>, its local side) over an installation in the
//       temporary folder, without and with the release record's check
//   QVSBench verify-run <folder> <rounds>
//       QVSCliUpdate.exe /force over make-verify's installation with the release
//       record and without it (moved aside), and xcopy /E /D /Y /I of the release
//   QVSBench share-start <folder> <fuse release> <fuse unc> <control> <rounds>
//       the start with nothing to update from a release on the plain share and
//       from one on the stalling share (written at <fuse release> through its
//       mount, named <fuse unc>) at 0, 1 and 30 ms a share operation
//   QVSBench share-run <folder> <files> <rounds> <fuse release> <control>
//       the forced run over make-run's installation from its plain release and
//       from make-release's copy on the stalling share at 0, 1 and 30 ms
//   QVSBench share-stall <folder> <mount folder> <unc> <control> <rounds> [wait ms]
//       the everyday start with the release folder answering and stalled: the
//       client's start, the program's end as Windows sees it and as Wine's Unix
//       process (Z:\proc) shows it, and the end after the stall is lifted
//   QVSBench stall-copy <folder> <files> <fuse release> <control> <after> <stall ms>
//                       [latency ms] [screenshot folder]
//       a forced run whose share stops answering after <after> copies for
//       <stall ms>: whether the dialog and the status popup take messages and
//       paint, when the run goes on, and what it left
//   (<control> is the stalling share's control folder, tests/support/stallfs.py)
//   QVSBench memory <folder> <files> <start folder>
//       the peak memory of QVSCliUpdate.exe /force on the run's installation,
//       polled from outside, with the same program's start with nothing to update
//
// Every round starts each candidate in turn, in an order that rotates from
// round to round; one untimed round comes first.

#include "bench/BareWalk.h"
#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/File.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"
#include "lib/ReleaseRecord.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace
{
// ---- Time ----

LONGLONG Now()
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

double Ms(LONGLONG ticks)
{
    static const LONGLONG s_frequency = []
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(s_frequency);
}

double Median(std::vector<double> values)
{
    if (values.empty())
    {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

[[noreturn]] void Fail(const std::wstring& what)
{
    std::fwprintf(stderr, L"QVSBench: %ls\n", what.c_str());
    std::exit(3);
}

void Progress(const std::wstring& what)
{
    std::fwprintf(stderr, L"   %ls\n", what.c_str());
    std::fflush(stderr);
}

// ---- Files ----

std::wstring ExeFolder()
{
    wchar_t szPath[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, szPath, MAX_PATH * 4);
    std::wstring path(szPath, n);
    path.erase(path.rfind(L'\\') + 1);
    return path;
}

void MakeDirs(const std::wstring& path)
{
    for (size_t n = path.find(L'\\', 3); n != std::wstring::npos; n = path.find(L'\\', n + 1))
    {
        CreateDirectoryW(path.substr(0, n).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW fd;
    const UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &fd));
    if (find)
    {
        do
        {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
            {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            {
                RemoveTree(child);
            }
            else
            {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    RemoveDirectoryW(path.c_str());
}

FILETIME LastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    {
        Fail(L"cannot find " + path);
    }
    return data.ftLastWriteTime;
}

FILETIME FileTimeOf(WORD year, WORD month, WORD day, unsigned nSecondsLater)
{
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = 8;
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    u.QuadPart += static_cast<ULONGLONG>(nSecondsLater) * 10000000ull;
    ft.dwLowDateTime = u.LowPart;
    ft.dwHighDateTime = u.HighPart;
    return ft;
}

// nBytes of file n's own noise (xorshift): no two files alike, nothing that compresses.
std::vector<char> NoiseBytes(size_t nBytes, unsigned n)
{
    std::vector<char> bytes(nBytes);
    unsigned x = 2463534242u + n * 7919u;
    for (char& c : bytes)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
    }
    return bytes;
}

// Bytes that files are cut from: no two files of a tree begin alike.
const std::vector<char>& Filler()
{
    static const std::vector<char> s_bytes = NoiseBytes(1 << 16, 0);
    return s_bytes;
}

void WriteFileAt(const std::wstring& path, size_t nOffset, size_t nSize, const FILETIME& ftWrite)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        Fail(L"cannot write " + path);
    }
    const std::vector<char>& bytes = Filler();
    DWORD dwWritten = 0;
    WriteFile(file.get(), bytes.data() + nOffset % (bytes.size() / 2), static_cast<DWORD>(nSize),
              &dwWritten, nullptr);
    SetFileTime(file.get(), nullptr, nullptr, &ftWrite);
}

void WriteText(const std::wstring& path, const std::string& text)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        Fail(L"cannot write " + path);
    }
    DWORD dwWritten = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &dwWritten, nullptr);
}

std::string Narrow(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
    {
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    }
    return out;
}

// ---- The trees ----

constexpr unsigned kFilesPerFolder = 20;
constexpr unsigned kAddedPerNewFolder = 2;

// What a release changes in a run's installation: up to 20,000 files, 1 % of them
// changed and 0.25 % added (a fifth of those in new folders); larger installations
// get the changes of 20,000 (200 changed, 40 added in old folders, 5 new folders).
struct PlanSize
{
    unsigned nChanged;
    unsigned nAddedInOldFolders;
    unsigned nNewFolders;
};

PlanSize PlanSizeOf(unsigned nFiles)
{
    const unsigned nBase = std::min(nFiles, 20000u);
    return {nBase / 100, nBase / 500, std::max(1u, nBase / 4000)};
}

// Folder k of a tree, relative: dA\eB\fC, ten to a level below the first.
std::wstring TreeFolder(unsigned k)
{
    return L"d" + std::to_wstring(k / 100) + L"\\e" + std::to_wstring(k / 10 % 10) + L"\\f" +
           std::to_wstring(k % 10);
}

std::wstring TreeFileName(unsigned i)
{
    static const wchar_t* const kStems[] = {L"module", L"report", L"icon",   L"help",
                                            L"layout", L"locale", L"plugin", L"template"};
    static const wchar_t* const kExtensions[] = {L".dll", L".xml", L".png", L".htm",
                                                 L".dat", L".txt", L".dll", L".xsl"};
    return std::wstring(kStems[i % 8]) + std::to_wstring(i) + kExtensions[i / 8 % 8];
}

// File i of a tree: relative path, size, last-write time (of the installed version).
std::wstring TreeFile(unsigned i)
{
    return TreeFolder(i / kFilesPerFolder) + L"\\" + TreeFileName(i);
}

size_t TreeFileSize(unsigned i)
{
    return 512 + (static_cast<size_t>(i) * 2654435761u) % 7680;
}

FILETIME TreeFileTime(unsigned i)
{
    return FileTimeOf(2026, 11, 2, i % 3600);
}

void MakeTree(const std::wstring& root, unsigned nFiles)
{
    const unsigned nFolders = (nFiles + kFilesPerFolder - 1) / kFilesPerFolder;
    for (unsigned k = 0; k < nFolders; ++k)
    {
        MakeDirs(root + L"\\" + TreeFolder(k));
    }
    for (unsigned i = 0; i < nFiles; ++i)
    {
        WriteFileAt(root + L"\\" + TreeFile(i), i, TreeFileSize(i), TreeFileTime(i));
    }
}

// What a release changes in a run's installation of nFiles files.
struct PlannedFile
{
    std::wstring relativeFolder; // without a final backslash
    std::wstring name;
    bool bAdded;
    unsigned nIndex; // the tree's file number for a changed file
};

std::vector<PlannedFile> RunPlan(unsigned nFiles)
{
    std::vector<PlannedFile> plan;
    const PlanSize size = PlanSizeOf(nFiles);
    const unsigned nStep = nFiles / size.nChanged;
    for (unsigned c = 0; c < size.nChanged; ++c)
    {
        const unsigned i = c * nStep + nStep / 2;
        plan.push_back({TreeFolder(i / kFilesPerFolder), TreeFileName(i), false, i});
    }
    const unsigned nFolders = nFiles / kFilesPerFolder;
    for (unsigned a = 0; a < size.nAddedInOldFolders; ++a)
    {
        plan.push_back(
            {TreeFolder(a * 37 % nFolders), L"added" + std::to_wstring(a) + L".dll", true, 0});
    }
    for (unsigned q = 0; q < size.nNewFolders; ++q)
    {
        for (unsigned a = 0; a < kAddedPerNewFolder; ++a)
        {
            plan.push_back({L"newpack" + std::to_wstring(q) + L"\\lib",
                            L"added" + std::to_wstring(q) + L"_" + std::to_wstring(a) + L".dll",
                            true, 0});
        }
    }
    return plan;
}

FILETIME ReleaseTime()
{
    return FileTimeOf(2026, 12, 2, 0);
}

// The folder as a client of this machine reaches it: \\COMPUTER\<path after the drive>.
std::wstring UncOf(const std::wstring& local)
{
    wchar_t szName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(szName, &n);
    return L"\\\\" + std::wstring(szName, n) + local.substr(2);
}

void WriteIniSource(const std::wstring& bin, const std::wstring& strSource)
{
    WriteText(bin + L"\\QVS.ini", "[HotUpdate]\r\nSourceFolder=" + Narrow(strSource) + "\r\n");
}

void WriteIni(const std::wstring& bin, const std::wstring& release)
{
    WriteIniSource(bin, UncOf(release));
}

void CopyProgram(const std::wstring& name, const std::wstring& destination)
{
    if (!CopyFileW((ExeFolder() + name).c_str(), destination.c_str(), FALSE))
    {
        Fail(L"cannot copy " + name + L" to " + destination);
    }
}

// ---- Processes ----

struct Child
{
    UniqueKernelHandle process;
    UniqueKernelHandle thread;
};

Child Start(const std::wstring& commandLine, const std::wstring& currentDir, bool bQuiet = false)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    UniqueFile nul;
    if (bQuiet)
    {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        nul.reset(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nul.get();
        si.hStdOutput = nul.get();
        si.hStdError = nul.get();
    }
    std::wstring cmd = commandLine;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, bQuiet ? TRUE : FALSE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi))
    {
        Fail(L"cannot start " + commandLine);
    }
    Child child;
    child.process.reset(pi.hProcess);
    child.thread.reset(pi.hThread);
    return child;
}

DWORD WaitForExit(const Child& child, DWORD dwTimeoutMs = 600000)
{
    if (WaitForSingleObject(child.process.get(), dwTimeoutMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(child.process.get(), 99);
        Fail(L"a program did not end in time");
    }
    DWORD dwCode = 0;
    GetExitCodeProcess(child.process.get(), &dwCode);
    return dwCode;
}

// The stand-in client's record of its starts: bin\QVS.started.
class StartRecord
{
public:
    explicit StartRecord(std::wstring path) : m_path(std::move(path)) {}

    size_t Size() const
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(m_path.c_str(), GetFileExInfoStandard, &data))
        {
            return 0;
        }
        return data.nFileSizeLow;
    }

    // Waits until a line is added behind nOldSize; the counter value it records.
    LONGLONG WaitForStart(size_t nOldSize, DWORD dwTimeoutMs = 600000) const
    {
        const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
        for (;;)
        {
            if (Size() > nOldSize)
            {
                const std::string text = ReadTail(nOldSize);
                const size_t nEnd = text.find("\r\n");
                if (nEnd != std::string::npos)
                {
                    const size_t nTab = text.rfind('\t', nEnd);
                    return std::strtoll(text.c_str() + nTab + 1, nullptr, 10);
                }
            }
            if (GetTickCount64() > deadline)
            {
                Fail(L"the client was not started");
            }
            Sleep(1);
        }
    }

private:
    std::string ReadTail(size_t nFrom) const
    {
        const UniqueFile file(CreateFileW(m_path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        std::string text;
        if (!file)
        {
            return text;
        }
        LARGE_INTEGER pos;
        pos.QuadPart = static_cast<LONGLONG>(nFrom);
        SetFilePointerEx(file.get(), pos, nullptr, FILE_BEGIN);
        char buffer[4096];
        DWORD dwRead = 0;
        while (ReadFile(file.get(), buffer, sizeof buffer, &dwRead, nullptr) && dwRead != 0)
        {
            text.append(buffer, dwRead);
        }
        return text;
    }

    std::wstring m_path;
};

struct Candidate
{
    const wchar_t* key;
    std::function<double()> run;  // one timed run, in ms
    std::function<void()> before; // untimed preparation
    std::vector<double> times;
    bool bWarmUp = true; // false: left out of the untimed round (a slow one)
};

void RunRounds(std::vector<Candidate>& candidates, int nRounds)
{
    for (int r = -1; r < nRounds; ++r)
    {
        std::wstring strTimes;
        for (size_t c = 0; c < candidates.size(); ++c)
        {
            Candidate& candidate = candidates[(c + static_cast<size_t>(r + 1)) % candidates.size()];
            if (r < 0 && !candidate.bWarmUp)
            {
                continue;
            }
            if (candidate.before)
            {
                candidate.before();
            }
            const double ms = candidate.run();
            if (r >= 0)
            {
                candidate.times.push_back(ms);
            }
            strTimes += L" " + std::wstring(candidate.key) + L" " +
                        std::to_wstring(static_cast<long long>(ms)) + L" ms,";
        }
        strTimes.pop_back();
        Progress((r < 0 ? std::wstring(L"warm-up round:")
                        : L"round " + std::to_wstring(r + 1) + L" of " + std::to_wstring(nRounds) +
                              L":") +
                 strTimes);
    }
}

void PrintTimes(const Candidate& candidate)
{
    std::wprintf(L"\t%ls=%.1f", candidate.key, Median(candidate.times));
    std::wprintf(L"\t%ls_min=%.1f\t%ls_max=%.1f", candidate.key,
                 *std::min_element(candidate.times.begin(), candidate.times.end()), candidate.key,
                 *std::max_element(candidate.times.begin(), candidate.times.end()));
    // Every round's time, in the order of the rounds: candidates of the same round
    // ran back to back, so their ratios hold even when the machine's speed drifts.
    std::wprintf(L"\t%ls_all=", candidate.key);
    for (size_t r = 0; r < candidate.times.size(); ++r)
    {
        std::wprintf(r == 0 ? L"%.1f" : L",%.1f", candidate.times[r]);
    }
}

// Every candidate's times, and the end of the RESULT line.
void PrintTimesAndEnd(const std::vector<Candidate>& candidates)
{
    for (const Candidate& candidate : candidates)
    {
        PrintTimes(candidate);
    }
    std::wprintf(L"\n");
}

// ---- make-* ----

int MakeTreeCommand(const std::wstring& root, unsigned nFiles)
{
    RemoveTree(root);
    MakeTree(root, nFiles);
    return 0;
}

// Publishes the release at folder with QVSMakeList.exe (list and record).
void Publish(const std::wstring& folder)
{
    const Child publish =
        Start(L"\"" + ExeFolder() + L"QVSMakeList.exe\" \"" + folder + L"\"", std::wstring(), true);
    if (WaitForExit(publish) != 0)
    {
        Fail(L"QVSMakeList.exe failed on " + folder);
    }
}

// An installation with the programs in <bin> and a small published release.
void MakeSmallInstallation(const std::wstring& bin, const std::wstring& release)
{
    MakeDirs(bin);
    MakeDirs(release + L"\\bin");
    CopyProgram(L"QVSCliUpdate.exe", bin + L"\\QVSCliUpdate.exe");
    CopyProgram(L"StandInClient.exe", bin + L"\\QVS.exe");
    for (unsigned i = 0; i < 3; ++i)
    {
        WriteFileAt(bin + L"\\" + TreeFileName(i), i, TreeFileSize(i), TreeFileTime(i));
        WriteFileAt(release + L"\\bin\\" + TreeFileName(i), i, TreeFileSize(i), TreeFileTime(i));
    }
    WriteIni(bin, release);
    Publish(release);
}

// The installation at root has seen the release's list (a copy of it, with its
// time, in the root, as a run leaves it): a start finds nothing to update.
void SeeRelease(const std::wstring& root, const std::wstring& release)
{
    if (!CopyFileW((release + L"\\HotUpdateFileList_Server.txt").c_str(),
                   (root + L"\\HotUpdateFileList_Server.txt").c_str(), FALSE))
    {
        Fail(L"cannot copy the release list of " + release);
    }
}

int MakeStart(const std::wstring& folder)
{
    RemoveTree(folder);
    const std::wstring bin = folder + L"\\inst\\bin";
    MakeSmallInstallation(bin, folder + L"\\release");
    CopyProgram(L"BareLauncher.exe", bin + L"\\BareLauncher.exe");
    CopyProgram(L"DialogLauncher.exe", bin + L"\\DialogLauncher.exe");
    return 0;
}

// The release of a run's installation of nFiles files: the same tree with the
// plan's files changed or added.
void WriteRelease(const std::wstring& release, unsigned nFiles)
{
    const std::vector<PlannedFile> plan = RunPlan(nFiles);
    Progress(L"release of " + std::to_wstring(nFiles + plan.size() - PlanSizeOf(nFiles).nChanged) +
             L" files");
    MakeTree(release, nFiles);
    for (const PlannedFile& file : plan)
    {
        const std::wstring folderPath = release + L"\\" + file.relativeFolder;
        MakeDirs(folderPath);
        const size_t nSize = file.bAdded ? 3000 : TreeFileSize(file.nIndex) + 100;
        WriteFileAt(folderPath + L"\\" + file.name, file.nIndex + 977, nSize, ReleaseTime());
    }
}

int MakeRun(const std::wstring& folder, unsigned nFiles)
{
    RemoveTree(folder);
    const std::wstring inst = folder + L"\\inst";
    const std::wstring release = folder + L"\\release";
    Progress(L"installation of " + std::to_wstring(nFiles) + L" files");
    MakeTree(inst, nFiles);
    MakeDirs(inst + L"\\bin");
    CopyProgram(L"QVSCliUpdate.exe", inst + L"\\bin\\QVSCliUpdate.exe");
    CopyProgram(L"StandInClient.exe", inst + L"\\bin\\QVS.exe");
    WriteIni(inst + L"\\bin", release);
    WriteRelease(release, nFiles);
    Publish(release);
    return 0;
}

// A second copy of a run's release, written at folder and published as seen at
// publishedAs (the same folder through the stalling share's mount, so that the
// list names the folders a client reaches through it).
int MakeReleaseCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& publishedAs)
{
    RemoveTree(folder);
    WriteRelease(folder, nFiles);
    Publish(publishedAs);
    return 0;
}

// Puts a run's installation back as make-run left it, its QVS.ini naming strSource
// (the run's own release when empty).
void ResetRun(const std::wstring& folder, unsigned nFiles, const std::wstring& strSource = {})
{
    const std::wstring inst = folder + L"\\inst";
    for (const PlannedFile& file : RunPlan(nFiles))
    {
        const std::wstring path = inst + L"\\" + file.relativeFolder + L"\\" + file.name;
        if (file.bAdded)
        {
            DeleteFileW(path.c_str());
        }
        else
        {
            WriteFileAt(path, file.nIndex, TreeFileSize(file.nIndex), TreeFileTime(file.nIndex));
        }
    }
    for (unsigned q = 0; q < PlanSizeOf(nFiles).nNewFolders; ++q)
    {
        RemoveTree(inst + L"\\newpack" + std::to_wstring(q));
    }
    for (const wchar_t* name :
         {L"\\HotUpdateFileList_Client.txt", L"\\HotUpdateFileList_Server.txt",
          L"\\bin\\QVSCliUpdate.log", L"\\bin\\QVS.started"})
    {
        DeleteFileW((inst + name).c_str());
    }
    if (strSource.empty())
    {
        WriteIni(inst + L"\\bin", folder + L"\\release");
    }
    else
    {
        WriteIniSource(inst + L"\\bin", strSource);
    }
}

// Every planned file is in place with the release's time; the number that is not.
unsigned CountNotUpdated(const std::wstring& folder, unsigned nFiles)
{
    const FILETIME ftRelease = ReleaseTime();
    unsigned nMissing = 0;
    for (const PlannedFile& file : RunPlan(nFiles))
    {
        const std::wstring path = folder + L"\\inst\\" + file.relativeFolder + L"\\" + file.name;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
            CompareFileTime(&data.ftLastWriteTime, &ftRelease) != 0)
        {
            ++nMissing;
        }
    }
    return nMissing;
}

// ---- start ----

int StartCommand(const std::wstring& folder, int nRounds, const std::vector<std::wstring>& extra)
{
    const std::wstring bin = folder + L"\\inst\\bin";
    const StartRecord record(bin + L"\\QVS.started");
    const auto timed = [&bin, &record](const std::wstring& program)
    {
        return [&bin, &record, program]
        {
            const size_t nOld = record.Size();
            const LONGLONG t0 = Now();
            const Child child = Start(L"\"" + bin + L"\\" + program + L"\"", bin);
            const LONGLONG tClient = record.WaitForStart(nOld);
            WaitForExit(child);
            // Whatever the start left behind settles before the next one.
            Sleep(100);
            return Ms(tClient - t0);
        };
    };
    std::vector<Candidate> candidates;
    candidates.push_back({L"direct", timed(L"QVS.exe"), {}, {}});
    candidates.push_back({L"launcher", timed(L"BareLauncher.exe"), {}, {}});
    candidates.push_back({L"dialog", timed(L"DialogLauncher.exe"), {}, {}});
    candidates.push_back({L"updater", timed(L"QVSCliUpdate.exe"), {}, {}});
    // Variants to compare with, by program name in the same folder.
    for (const std::wstring& program : extra)
    {
        candidates.push_back({program.c_str(), timed(program), {}, {}});
    }
    // The first start of the updater takes the release list (an update run, which
    // writes the client list); from then on there is nothing to update.
    timed(L"QVSCliUpdate.exe")();
    const std::wstring clientList = folder + L"\\inst\\HotUpdateFileList_Client.txt";
    const FILETIME ftListed = LastWriteTime(clientList);
    RunRounds(candidates, nRounds);
    std::wprintf(L"RESULT\tstart\trounds=%d", nRounds);
    PrintTimesAndEnd(candidates);
    const FILETIME ftAfter = LastWriteTime(clientList);
    if (CompareFileTime(&ftListed, &ftAfter) != 0)
    {
        Fail(L"QVSCliUpdate.exe found something to update");
    }
    return 0;
}

// ---- walk ----

// Every tree is walked in every round, the three ways in turn, so that all figures
// of a run are taken under the same conditions.
int WalkCommand(const std::vector<std::wstring>& roots, int nRounds)
{
    struct Tree
    {
        size_t nBare = 0;
        size_t nSearched = 0;
        size_t nListed = 0;
    };
    std::vector<Tree> trees(roots.size());
    std::vector<Candidate> candidates;
    for (size_t t = 0; t < roots.size(); ++t)
    {
        const std::wstring& root = roots[t];
        Tree& tree = trees[t];
        candidates.push_back({L"bare",
                              [&root, &tree]
                              {
                                  const LONGLONG t0 = Now();
                                  tree.nBare = BareWalk(root, true);
                                  return Ms(Now() - t0);
                              },
                              {},
                              {}});
        candidates.push_back({L"walk",
                              [&root, &tree]
                              {
                                  SCFileIterator iterator;
                                  iterator.EnableStatusPopup(false);
                                  iterator.SetRootFolder(root);
                                  const LONGLONG t0 = Now();
                                  iterator.Walk(FileListKind::Client, nullptr, nullptr);
                                  const double ms = Ms(Now() - t0);
                                  tree.nListed = GetList(FileListKind::Client).size();
                                  ClearList(FileListKind::Client);
                                  return ms;
                              },
                              {},
                              {}});
        candidates.push_back({L"search",
                              [&root, &tree]
                              {
                                  const LONGLONG t0 = Now();
                                  tree.nSearched = BareWalk(root, false);
                                  return Ms(Now() - t0);
                              },
                              {},
                              {}});
    }
    RunRounds(candidates, nRounds);
    int nResult = 0;
    for (size_t t = 0; t < roots.size(); ++t)
    {
        std::wprintf(L"RESULT\twalk\tfiles=%zu\tlisted=%zu\tsearched=%zu\trounds=%d",
                     trees[t].nBare, trees[t].nListed, trees[t].nSearched, nRounds);
        for (size_t c = 3 * t; c < 3 * t + 3; ++c)
        {
            PrintTimes(candidates[c]);
        }
        std::wprintf(L"\n");
        // A file the walk cannot open is left out, as the bare walk leaves it out.
        nResult = trees[t].nBare == trees[t].nListed ? nResult : 3;
    }
    return nResult;
}

// ---- full-run, walk-copy, memory ----

int WalkCopyCommand(const std::wstring& folder, unsigned nFiles)
{
    const std::wstring inst = folder + L"\\inst";
    SetAppFolderForTesting(inst + L"\\bin\\");
    SCFileIterator iterator;
    iterator.EnableStatusPopup(false);
    iterator.SetRootFolder(inst);
    const LONGLONG t0 = Now();
    iterator.Walk(FileListKind::Client, nullptr, nullptr);
    const LONGLONG t1 = Now();
    const std::wstring releaseUnc = UncOf(folder + L"\\release");
    FileList plan;
    for (const PlannedFile& file : RunPlan(nFiles))
    {
        auto pEntry = std::make_unique<FileListEntry>();
        pEntry->folder = releaseUnc + L"\\" + file.relativeFolder + L"\\";
        pEntry->name = file.name;
        pEntry->target = inst + L"\\" + file.relativeFolder + L"\\";
        plan.push_back(std::move(pEntry));
    }
    const BOOL bCopied = SCFileIterator::CopyFiles(&plan, nullptr, nullptr);
    Progress(L"walk-copy: walk " + std::to_wstring(static_cast<int>(Ms(t1 - t0))) + L" ms, copy " +
             std::to_wstring(static_cast<int>(Ms(Now() - t1))) + L" ms");
    ClearList(FileListKind::Client);
    return bCopied ? 0 : 1;
}

// ---- verify-copy ----

int VerifyCopyCommand(const std::wstring& share, const std::wstring& shareUnc, int nRounds)
{
    constexpr unsigned kFiles = 200;
    constexpr size_t kSize = 1 << 20;
    const std::wstring release = share + L"\\verify-release\\bin";
    const std::wstring releaseUnc = shareUnc + L"\\verify-release\\bin\\";
    wchar_t szTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring inst =
        std::wstring(szTemp) + L"QVSBench-verify-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring bin = inst + L"\\bin\\";
    MakeDirs(release);
    MakeDirs(inst + L"\\bin");
    SetAppFolderForTesting(bin);

    // The release's files, each its own bytes, and the record of them.
    const auto name = [](unsigned i) { return L"file" + std::to_wstring(i) + L".bin"; };
    std::wstring strRecord = SCReleaseRecord::FormatFirstLine(SCSha256::Digest{});
    for (unsigned i = 0; i < kFiles; ++i)
    {
        const std::vector<char> bytes = NoiseBytes(kSize, i);
        WriteText(release + L"\\" + name(i), std::string(bytes.data(), bytes.size()));
        SCReleaseRecord::Item item;
        item.nSize = kSize;
        SCSha256::HashBytes(bytes.data(), bytes.size(), item.digest);
        strRecord += SCReleaseRecord::FormatLine(releaseUnc, name(i), item);
    }
    SCReleaseRecord record;
    if (!record.Parse(std::string_view(reinterpret_cast<const char*>(strRecord.data()),
                                       strRecord.size() * sizeof(wchar_t))))
    {
        Fail(L"the record does not parse");
    }

    const auto run = [&](const SCReleaseRecord* pRecord)
    {
        for (unsigned i = 0; i < kFiles; ++i)
        {
            WriteText(bin + name(i), "an older version");
        }
        FileList plan;
        for (unsigned i = 0; i < kFiles; ++i)
        {
            auto pEntry = std::make_unique<FileListEntry>();
            pEntry->folder = releaseUnc;
            pEntry->name = name(i);
            pEntry->target = bin;
            plan.push_back(std::move(pEntry));
        }
        const LONGLONG t0 = Now();
        BOOL bCopied = SCFileIterator::CopyFiles(&plan, nullptr, nullptr, pRecord);
        const double ms = Ms(Now() - t0);
        for (unsigned i = 0; i < kFiles; ++i)
        {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (!GetFileAttributesExW((bin + name(i)).c_str(), GetFileExInfoStandard, &data) ||
                data.nFileSizeLow != kSize)
            {
                bCopied = FALSE;
            }
        }
        if (!bCopied)
        {
            Fail(L"verify-copy: a copy failed");
        }
        return ms;
    };
    // The floor of the check: SHA-256 of the same bytes in memory.
    const std::vector<char> bytes = NoiseBytes(kSize, kFiles - 1);
    const auto hashOnly = [&bytes]
    {
        const LONGLONG t0 = Now();
        for (unsigned i = 0; i < kFiles; ++i)
        {
            SCSha256::Digest digest{};
            SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
        }
        return Ms(Now() - t0);
    };
    // Reading the installed copies back, as the check does, without hashing.
    const auto readBack = [&]
    {
        std::vector<char> buffer(256 * 1024);
        const LONGLONG t0 = Now();
        for (unsigned i = 0; i < kFiles; ++i)
        {
            const UniqueFile file(CreateFileW((bin + name(i)).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            DWORD nRead = 0;
            while (ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &nRead,
                            nullptr) &&
                   nRead > 0)
            {
            }
        }
        return Ms(Now() - t0);
    };
    std::vector<double> plain;
    std::vector<double> verified;
    std::vector<double> hashed;
    std::vector<double> reread;
    std::vector<double> ratios;
    run(nullptr);
    run(&record);
    for (int r = 0; r < nRounds; ++r)
    {
        double msPlain = 0;
        double msVerified = 0;
        if (r % 2 == 0)
        {
            msPlain = run(nullptr);
            msVerified = run(&record);
        }
        else
        {
            msVerified = run(&record);
            msPlain = run(nullptr);
        }
        plain.push_back(msPlain);
        verified.push_back(msVerified);
        hashed.push_back(hashOnly());
        reread.push_back(readBack());
        ratios.push_back(msVerified / msPlain);
        Progress(L"verify-copy round " + std::to_wstring(r + 1) + L": without " +
                 std::to_wstring(static_cast<int>(msPlain)) + L" ms, with " +
                 std::to_wstring(static_cast<int>(msVerified)) + L" ms, SHA-256 in memory " +
                 std::to_wstring(static_cast<int>(hashed.back())) + L" ms, read back " +
                 std::to_wstring(static_cast<int>(reread.back())) + L" ms");
    }
    std::wprintf(L"RESULT\tverify-copy\tfiles=%u\tbytes=%zu\trounds=%d\twithout=%.1f\twith=%.1f"
                 L"\tratio=%.3f\thash_in_memory=%.1f\tread_back=%.1f\n",
                 kFiles, kSize, nRounds, Median(plain), Median(verified), Median(ratios),
                 Median(hashed), Median(reread));
    RemoveTree(inst);
    SetAppFolderForTesting(L"");
    return 0;
}

int FullRunCommand(const std::wstring& folder, unsigned nFiles, int nRounds,
                   const std::vector<std::wstring>& extra)
{
    const std::wstring inst = folder + L"\\inst";
    const std::wstring bin = inst + L"\\bin";
    const StartRecord record(bin + L"\\QVS.started");
    const auto check = [&folder, nFiles](const wchar_t* who)
    {
        const unsigned nLeft = CountNotUpdated(folder, nFiles);
        if (nLeft != 0)
        {
            Fail(std::wstring(who) + L" left " + std::to_wstring(nLeft) +
                 L" planned files as "
                 L"they were");
        }
    };
    const auto reset = [&folder, nFiles] { ResetRun(folder, nFiles); };
    std::vector<Candidate> candidates;
    const auto forced = [&](const std::wstring& program)
    {
        return [&, program]
        {
            const size_t nOld = record.Size();
            const LONGLONG t0 = Now();
            const Child child = Start(L"\"" + bin + L"\\" + program + L"\" /force", bin);
            const LONGLONG tClient = record.WaitForStart(nOld);
            WaitForExit(child);
            check(program.c_str());
            return Ms(tClient - t0);
        };
    };
    candidates.push_back({L"updater", forced(L"QVSCliUpdate.exe"), reset, {}});
    // Variants to compare with, by program name in the installation's bin folder.
    for (const std::wstring& program : extra)
    {
        candidates.push_back({program.c_str(), forced(program), reset, {}});
    }
    candidates.push_back({L"walkcopy",
                          [&]
                          {
                              const LONGLONG t0 = Now();
                              const Child child =
                                  Start(L"\"" + ExeFolder() + L"QVSBench.exe\" walk-copy \"" +
                                            folder + L"\" " + std::to_wstring(nFiles),
                                        bin);
                              const DWORD dwCode = WaitForExit(child);
                              const double ms = Ms(Now() - t0);
                              if (dwCode != 0)
                              {
                                  Fail(L"walk-copy failed");
                              }
                              check(L"walk-copy");
                              return ms;
                          },
                          reset,
                          {}});
    candidates.push_back({L"xcopy",
                          [&]
                          {
                              const LONGLONG t0 = Now();
                              const Child child = Start(L"xcopy \"" + UncOf(folder + L"\\release") +
                                                            L"\" \"" + inst + L"\" /E /D /Y /I",
                                                        bin, true);
                              const DWORD dwCode = WaitForExit(child);
                              const double ms = Ms(Now() - t0);
                              if (dwCode != 0)
                              {
                                  Fail(L"xcopy failed with " + std::to_wstring(dwCode));
                              }
                              check(L"xcopy");
                              return ms;
                          },
                          reset,
                          {}});
    RunRounds(candidates, nRounds);
    reset();
    std::wprintf(L"RESULT\tfullrun\tfiles=%u\trounds=%d", nFiles, nRounds);
    PrintTimesAndEnd(candidates);
    return 0;
}

// ---- the stalling share: share-start, share-run, share-stall, stall-copy ----

// The last component of a path.
std::wstring LastComponent(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The controls of one first-level folder of the stalling share (tests/support/stallfs.py):
// <control>\X.stall makes every access below X wait, <control>\X.latency adds its
// milliseconds to each.
class StallControl
{
public:
    StallControl(const std::wstring& control, const std::wstring& name)
        : m_stall(control + L"\\" + name + L".stall"),
          m_latency(control + L"\\" + name + L".latency")
    {
    }
    ~StallControl() { Lift(); }
    StallControl(const StallControl&) = delete;
    StallControl& operator=(const StallControl&) = delete;

    void SetLatency(unsigned nMs) const { WriteText(m_latency, std::to_string(nMs)); }
    void Stall() const { WriteText(m_stall, ""); }
    void Lift() const { DeleteFileW(m_stall.c_str()); }

private:
    std::wstring m_stall;
    std::wstring m_latency;
};

// From CreateProcess of commandLine to the stand-in client's start, in ms; waits
// for the program's end too.
double TimeToClient(const std::wstring& bin, const std::wstring& commandLine)
{
    const StartRecord record(bin + L"\\QVS.started");
    const size_t nOld = record.Size();
    const LONGLONG t0 = Now();
    const Child child = Start(commandLine, bin);
    const LONGLONG tClient = record.WaitForStart(nOld);
    WaitForExit(child);
    return Ms(tClient - t0);
}

const unsigned kLatenciesMs[] = {0, 1, 30};
const wchar_t* const kLatencyKeys[] = {L"fuse0", L"fuse1", L"fuse30"};

// The start with nothing to update, from a release on the plain share and from the
// same release on the stalling share at each latency. <folder>\share holds an
// installation and its release on the plain share, <folder>\fuse an installation
// of the release at <fuse release> (a folder of the stalling share's mount, reached
// as <fuse unc>). Each installation has seen its release.
int ShareStartCommand(const std::wstring& folder, const std::wstring& fuseRelease,
                      const std::wstring& fuseUnc, const std::wstring& control, int nRounds)
{
    const StallControl stall(control, LastComponent(fuseRelease));
    stall.Lift();
    stall.SetLatency(0);
    RemoveTree(folder);
    RemoveTree(fuseRelease);
    const std::wstring shareBin = folder + L"\\share\\inst\\bin";
    const std::wstring fuseBin = folder + L"\\fuse\\inst\\bin";
    MakeSmallInstallation(shareBin, folder + L"\\share\\release");
    SeeRelease(folder + L"\\share\\inst", folder + L"\\share\\release");
    MakeSmallInstallation(fuseBin, fuseRelease);
    SeeRelease(folder + L"\\fuse\\inst", fuseRelease);
    WriteIniSource(fuseBin, fuseUnc);

    std::vector<Candidate> candidates;
    candidates.push_back(
        {L"share",
         [&shareBin] { return TimeToClient(shareBin, L"\"" + shareBin + L"\\QVSCliUpdate.exe\""); },
         {},
         {}});
    for (size_t l = 0; l < std::size(kLatenciesMs); ++l)
    {
        candidates.push_back(
            {kLatencyKeys[l],
             [&fuseBin]
             { return TimeToClient(fuseBin, L"\"" + fuseBin + L"\\QVSCliUpdate.exe\""); },
             [&stall, l] { stall.SetLatency(kLatenciesMs[l]); },
             {}});
    }
    RunRounds(candidates, nRounds);
    stall.SetLatency(0);
    // Nothing was updated: no run wrote a client list.
    for (const std::wstring& root : {folder + L"\\share\\inst", folder + L"\\fuse\\inst"})
    {
        if (Exists(root + L"\\HotUpdateFileList_Client.txt"))
        {
            Fail(L"a start in " + root + L" found something to update");
        }
    }
    std::wprintf(L"RESULT\tsharestart\trounds=%d", nRounds);
    PrintTimesAndEnd(candidates);
    return 0;
}

// The forced run over a run's installation, from its release on the plain share and
// from the same release at <fuse release> on the stalling share (made there by
// make-release, reached as \\COMPUTER\...) at each latency.
int ShareRunCommand(const std::wstring& folder, unsigned nFiles, int nRounds,
                    const std::wstring& fuseRelease, const std::wstring& control)
{
    const std::wstring fuseUnc = UncOf(fuseRelease);
    const std::wstring bin = folder + L"\\inst\\bin";
    const StallControl stall(control, LastComponent(fuseRelease));
    stall.Lift();
    stall.SetLatency(0);
    const std::wstring program = L"\"" + bin + L"\\QVSCliUpdate.exe\" /force";
    const auto run = [&](const wchar_t* who)
    {
        const double ms = TimeToClient(bin, program);
        const unsigned nLeft = CountNotUpdated(folder, nFiles);
        if (nLeft != 0)
        {
            Fail(std::wstring(who) + L": the run left " + std::to_wstring(nLeft) +
                 L" planned files as they were");
        }
        return ms;
    };
    std::vector<Candidate> candidates;
    candidates.push_back({L"share",
                          [&run] { return run(L"share"); },
                          [&folder, nFiles] { ResetRun(folder, nFiles); },
                          {}});
    for (size_t l = 0; l < std::size(kLatenciesMs); ++l)
    {
        // A run at the highest latency takes long: it has no untimed round.
        candidates.push_back({kLatencyKeys[l],
                              [&run, l] { return run(kLatencyKeys[l]); },
                              [&, l]
                              {
                                  ResetRun(folder, nFiles, fuseUnc);
                                  stall.SetLatency(kLatenciesMs[l]);
                              },
                              {},
                              kLatenciesMs[l] < 10});
    }
    RunRounds(candidates, nRounds);
    stall.SetLatency(0);
    ResetRun(folder, nFiles);
    std::wprintf(L"RESULT\tsharerun\tfiles=%u\trounds=%d", nFiles, nRounds);
    PrintTimesAndEnd(candidates);
    return 0;
}

// ---- Under Wine: the Unix side of a Windows process ----
// A Windows process whose threads have all ended may live on as a Unix process
// while one of its threads waits in the kernel (a file system that does not
// answer). Wine shows the Unix processes as Z:\proc; on Windows there is no such
// folder and nothing is found.

std::string ReadSmallFile(const std::wstring& path)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    if (!file)
    {
        return text;
    }
    char buffer[4096];
    DWORD dwRead = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &dwRead, nullptr) && dwRead != 0)
    {
        text.append(buffer, dwRead);
    }
    return text;
}

std::string LowerAscii(std::string text)
{
    for (char& c : text)
    {
        if (c >= 'A' && c <= 'Z')
        {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The Unix process whose command line holds the program path; empty when none.
std::wstring FindUnixProcess(const std::wstring& program)
{
    const std::string wanted = LowerAscii(Narrow(program));
    WIN32_FIND_DATAW fd;
    const UniqueFind find(FindFirstFileW(L"Z:\\proc\\*", &fd));
    if (!find)
    {
        return {};
    }
    do
    {
        if (fd.cFileName[0] < L'0' || fd.cFileName[0] > L'9')
        {
            continue;
        }
        const std::string cmdline =
            LowerAscii(ReadSmallFile(std::wstring(L"Z:\\proc\\") + fd.cFileName + L"\\cmdline"));
        if (cmdline.find(wanted) != std::string::npos)
        {
            return fd.cFileName;
        }
    } while (FindNextFileW(find.get(), &fd));
    return {};
}

// "Z" for an ended thread, "D request_wait_answer" for one waiting in the kernel...:
// the states of the Unix process's threads; "gone" when the process is gone.
std::wstring UnixThreadStates(const std::wstring& pid)
{
    const std::wstring tasks = L"Z:\\proc\\" + pid + L"\\task";
    WIN32_FIND_DATAW fd;
    const UniqueFind find(FindFirstFileW((tasks + L"\\*").c_str(), &fd));
    if (!find)
    {
        return L"gone";
    }
    std::wstring states;
    do
    {
        if (fd.cFileName[0] < L'0' || fd.cFileName[0] > L'9')
        {
            continue;
        }
        const std::wstring task = tasks + L"\\" + fd.cFileName;
        const std::string stat = ReadSmallFile(task + L"\\stat");
        const size_t nParen = stat.rfind(')');
        if (nParen == std::string::npos || nParen + 2 >= stat.size())
        {
            continue;
        }
        std::string state(1, stat[nParen + 2]);
        const std::string wchan = ReadSmallFile(task + L"\\wchan");
        if (state != "Z" && !wchan.empty() && wchan != "0")
        {
            state += " " + wchan;
        }
        states += (states.empty() ? L"" : L", ") + std::wstring(state.begin(), state.end());
    } while (FindNextFileW(find.get(), &fd));
    return states.empty() ? L"gone" : states;
}

// Every thread of the Unix process has ended (what is left waits for its parent to
// take its exit code, and holds nothing).
bool UnixProcessEnded(const std::wstring& pid)
{
    const std::wstring states = UnixThreadStates(pid);
    if (states == L"gone")
    {
        return true;
    }
    // Each thread's state begins its entry: "Z", or "D request_wait_answer, Z"...
    size_t n = 0;
    for (;;)
    {
        if (states[n] != L'Z')
        {
            return false;
        }
        n = states.find(L", ", n);
        if (n == std::wstring::npos)
        {
            return true;
        }
        n += 2;
    }
}

// The everyday start with a release folder that does not answer: <folder>\inst has
// seen the release at <mount folder> (a first-level folder of the stalling share,
// written through its mount) and names it as <unc>. Each round starts the program
// once with the folder answering and once stalled; stalled, it times the client's
// start, the Windows process's end (waiting up to nWaitMs), and the Unix process's
// end, each waited for up to dwWaitMs after the client's start; then it lifts the
// stall and times what is left.
int ShareStallCommand(const std::wstring& folder, const std::wstring& mountFolder,
                      const std::wstring& unc, const std::wstring& control, int nRounds,
                      DWORD dwWaitMs)
{
    const StallControl stall(control, LastComponent(mountFolder));
    stall.Lift();
    stall.SetLatency(0);
    RemoveTree(folder);
    RemoveTree(mountFolder);
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring exe = bin + L"\\QVSCliUpdate.exe";
    MakeSmallInstallation(bin, mountFolder);
    SeeRelease(folder + L"\\inst", mountFolder);
    WriteIniSource(bin, unc);

    struct Observation
    {
        double msEnded = -1;     // the Windows process's end, from its start; -1: not seen
        double msUnixEnded = -1; // the Unix process's end, from its start; -1: not seen
        double msAfterLift = -1; // the Unix process's end after the lift; -1: before it
        std::wstring lingering;  // the Unix threads' states before the stall was lifted
    };
    std::vector<Observation> observations;
    std::vector<Candidate> candidates;
    candidates.push_back({L"answering",
                          [&] { return TimeToClient(bin, L"\"" + exe + L"\""); },
                          [&stall] { stall.Lift(); },
                          {}});
    candidates.push_back(
        {L"stalled",
         [&]
         {
             Observation seen;
             const StartRecord record(bin + L"\\QVS.started");
             const size_t nOld = record.Size();
             const LONGLONG t0 = Now();
             const Child child = Start(L"\"" + exe + L"\"", bin);
             std::wstring pid;
             for (int i = 0; i < 200 && pid.empty(); ++i)
             {
                 pid = FindUnixProcess(exe);
             }
             const double msClient = Ms(record.WaitForStart(nOld) - t0);
             const auto unixGone = [&pid] { return pid.empty() || UnixProcessEnded(pid); };
             // The Windows process's end, and the Unix process's if it comes too.
             while (Ms(Now() - t0) < msClient + dwWaitMs)
             {
                 if (seen.msEnded < 0 &&
                     WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0)
                 {
                     seen.msEnded = Ms(Now() - t0);
                 }
                 if (seen.msUnixEnded < 0 && !pid.empty() && unixGone())
                 {
                     seen.msUnixEnded = Ms(Now() - t0);
                 }
                 if (seen.msEnded >= 0 && (seen.msUnixEnded >= 0 || pid.empty()))
                 {
                     break;
                 }
                 Sleep(5);
             }
             if (!unixGone())
             {
                 seen.lingering = UnixThreadStates(pid);
             }
             const LONGLONG tLift = Now();
             stall.Lift();
             WaitForExit(child);
             if (seen.msEnded < 0)
             {
                 seen.msEnded = Ms(Now() - t0);
             }
             while (!unixGone() && Ms(Now() - tLift) < 60000)
             {
                 Sleep(5);
             }
             if (seen.msUnixEnded < 0 && !pid.empty())
             {
                 seen.msUnixEnded = Ms(Now() - t0);
                 seen.msAfterLift = Ms(Now() - tLift);
             }
             std::wstring strUnix = L"not found";
             if (!pid.empty())
             {
                 strUnix =
                     L"ended at " + std::to_wstring(static_cast<int>(seen.msUnixEnded)) + L" ms";
                 if (seen.msAfterLift >= 0)
                 {
                     strUnix += L", " + std::to_wstring(static_cast<int>(seen.msAfterLift)) +
                                L" ms after the stall was lifted (its threads before: " +
                                seen.lingering + L")";
                 }
             }
             Progress(L"stalled start: client at " + std::to_wstring(static_cast<int>(msClient)) +
                      L" ms, Windows process ended at " +
                      std::to_wstring(static_cast<int>(seen.msEnded)) + L" ms, Unix process " +
                      strUnix);
             observations.push_back(seen);
             return msClient;
         },
         [&stall] { stall.Stall(); },
         {}});
    RunRounds(candidates, nRounds);
    stall.Lift();
    if (Exists(folder + L"\\inst\\HotUpdateFileList_Client.txt"))
    {
        Fail(L"a start found something to update");
    }
    // The warm-up round's observation is left out, as its times are.
    observations.erase(observations.begin());
    std::vector<double> ended;
    std::vector<double> unixEnded;
    std::vector<double> afterLift;
    unsigned nLingered = 0;
    std::wstring lingering;
    for (const Observation& seen : observations)
    {
        ended.push_back(seen.msEnded);
        unixEnded.push_back(seen.msUnixEnded);
        if (seen.msAfterLift >= 0)
        {
            ++nLingered;
            afterLift.push_back(seen.msAfterLift);
            lingering = seen.lingering;
        }
    }
    std::wprintf(L"RESULT\tsharestall\trounds=%d\twait=%lu", nRounds, dwWaitMs);
    for (const Candidate& candidate : candidates)
    {
        PrintTimes(candidate);
    }
    std::wprintf(L"\tended=%.1f\tunix_ended=%.1f\tafter_lift=%.1f\tlingered=%u\tlingering=%ls\n",
                 Median(ended), Median(unixEnded), Median(afterLift), nLingered,
                 lingering.empty() ? L"-" : lingering.c_str());
    return 0;
}

// ---- verify-run ----

constexpr unsigned kVerifyFiles = 200;
constexpr size_t kVerifySize = 1 << 20;

std::wstring VerifyFileName(unsigned i)
{
    return L"file" + std::to_wstring(i) + L".bin";
}

// <folder>\inst: the programs and 200 small old files in data\; <folder>\release:
// the same 200 files of 1 MB each, newer, published (list and record).
int MakeVerifyCommand(const std::wstring& folder)
{
    RemoveTree(folder);
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring release = folder + L"\\release";
    MakeDirs(bin);
    MakeDirs(folder + L"\\inst\\data");
    MakeDirs(release + L"\\data");
    CopyProgram(L"QVSCliUpdate.exe", bin + L"\\QVSCliUpdate.exe");
    CopyProgram(L"StandInClient.exe", bin + L"\\QVS.exe");
    WriteIni(bin, release);
    for (unsigned i = 0; i < kVerifyFiles; ++i)
    {
        const std::vector<char> bytes = NoiseBytes(kVerifySize, i);
        const std::wstring path = release + L"\\data\\" + VerifyFileName(i);
        WriteText(path, std::string(bytes.data(), bytes.size()));
        const UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        const FILETIME ft = ReleaseTime();
        SetFileTime(file.get(), nullptr, nullptr, &ft);
    }
    Publish(release);
    return 0;
}

void ResetVerify(const std::wstring& folder)
{
    const std::wstring inst = folder + L"\\inst";
    for (unsigned i = 0; i < kVerifyFiles; ++i)
    {
        WriteFileAt(inst + L"\\data\\" + VerifyFileName(i), i, 100, TreeFileTime(i));
    }
    for (const wchar_t* name :
         {L"\\HotUpdateFileList_Client.txt", L"\\HotUpdateFileList_Server.txt",
          L"\\HotUpdateFileList_Server.sha256", L"\\bin\\QVSCliUpdate.log", L"\\bin\\QVS.started"})
    {
        DeleteFileW((inst + name).c_str());
    }
    WriteIni(inst + L"\\bin", folder + L"\\release");
}

// Every file is in place, whole and with the release's time.
void CheckVerify(const std::wstring& folder, const wchar_t* who)
{
    const FILETIME ftRelease = ReleaseTime();
    for (unsigned i = 0; i < kVerifyFiles; ++i)
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const std::wstring path = folder + L"\\inst\\data\\" + VerifyFileName(i);
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
            data.nFileSizeLow != kVerifySize ||
            CompareFileTime(&data.ftLastWriteTime, &ftRelease) != 0)
        {
            Fail(std::wstring(who) + L" did not install " + path);
        }
    }
}

// The forced run that copies 200 files of 1 MB from the plain share, with the
// release record (each copy checked) and without it (the record moved aside, the
// same program and release otherwise), and xcopy /D of the same release.
int VerifyRunCommand(const std::wstring& folder, int nRounds)
{
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring record = folder + L"\\release\\HotUpdateFileList_Server.sha256";
    const std::wstring aside = record + L".aside";
    const auto restore = [&]
    {
        if (Exists(aside))
        {
            MoveFileExW(aside.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    };
    restore();
    // The run's log says whether it checked its copies: "... were not verified ..."
    const auto run = [&](bool bVerified)
    {
        const double ms = TimeToClient(bin, L"\"" + bin + L"\\QVSCliUpdate.exe\" /force");
        const wchar_t* who = bVerified ? L"the run with the record" : L"the run without it";
        CheckVerify(folder, who);
        const bool bSaysUnchecked =
            ReadSmallFile(bin + L"\\QVSCliUpdate.log").find("not verified") != std::string::npos;
        if (bSaysUnchecked == bVerified)
        {
            Fail(std::wstring(who) + (bVerified ? L" did not check its copies" : L" checked them"));
        }
        return ms;
    };
    std::vector<Candidate> candidates;
    candidates.push_back({L"verified",
                          [&run] { return run(true); },
                          [&]
                          {
                              ResetVerify(folder);
                              restore();
                          },
                          {}});
    candidates.push_back(
        {L"unverified",
         [&run] { return run(false); },
         [&]
         {
             ResetVerify(folder);
             restore();
             if (!MoveFileExW(record.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING))
             {
                 Fail(L"cannot move the record aside");
             }
         },
         {}});
    candidates.push_back({L"xcopy",
                          [&]
                          {
                              const LONGLONG t0 = Now();
                              const Child child =
                                  Start(L"xcopy \"" + UncOf(folder + L"\\release") + L"\" \"" +
                                            folder + L"\\inst\" /E /D /Y /I",
                                        bin, true);
                              const DWORD dwCode = WaitForExit(child);
                              const double ms = Ms(Now() - t0);
                              if (dwCode != 0)
                              {
                                  Fail(L"xcopy failed with " + std::to_wstring(dwCode));
                              }
                              CheckVerify(folder, L"xcopy");
                              return ms;
                          },
                          [&]
                          {
                              ResetVerify(folder);
                              restore();
                          },
                          {}});
    RunRounds(candidates, nRounds);
    restore();
    ResetVerify(folder);
    std::wprintf(L"RESULT\tverifyrun\tfiles=%u\tbytes=%zu\trounds=%d", kVerifyFiles, kVerifySize,
                 nRounds);
    PrintTimesAndEnd(candidates);
    return 0;
}

// ---- stall-copy: the share stops answering in the middle of a forced run's copy ----

unsigned CountCopyingLines(const std::wstring& log)
{
    const std::string text = ReadSmallFile(log);
    unsigned n = 0;
    for (size_t at = text.find("Copying..."); at != std::string::npos;
         at = text.find("Copying...", at + 1))
    {
        ++n;
    }
    return n;
}

struct ProcessWindows
{
    DWORD dwProcessId = 0;
    DWORD dwMainThreadId = 0;
    HWND hDialog = nullptr; // the update dialog, on the main thread
    HWND hPopup = nullptr;  // the status popup, on a thread of its own
};

BOOL CALLBACK FindProcessWindow(HWND hWnd, LPARAM lParam)
{
    auto* pWindows = reinterpret_cast<ProcessWindows*>(lParam);
    DWORD dwProcessId = 0;
    const DWORD dwThreadId = GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId == pWindows->dwProcessId && IsWindowVisible(hWnd))
    {
        (dwThreadId == pWindows->dwMainThreadId ? pWindows->hDialog : pWindows->hPopup) = hWnd;
    }
    return TRUE;
}

// Whether the window's thread takes a message within 1 s; the time it took, or -1.
double AnswerTime(HWND hWnd)
{
    if (hWnd == nullptr || !IsWindow(hWnd))
    {
        return -2;
    }
    DWORD_PTR result = 0;
    const LONGLONG t0 = Now();
    if (SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) == 0)
    {
        return -1;
    }
    return Ms(Now() - t0);
}

LRESULT CALLBACK CoverProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

void PumpFor(DWORD dwMs)
{
    const ULONGLONG end = GetTickCount64() + dwMs;
    while (GetTickCount64() < end)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            DispatchMessageW(&msg);
        }
        Sleep(10);
    }
}

// A pure red window over rect for a moment: what lies below must paint itself again.
void CoverFor(const RECT& rect, DWORD dwMs)
{
    static const wchar_t kClass[] = L"QVSBenchCover";
    static bool s_bRegistered = false;
    if (!s_bRegistered)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &CoverProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = CreateSolidBrush(RGB(255, 0, 0));
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
        s_bRegistered = true;
    }
    const HWND hCover =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kClass, L"", WS_POPUP,
                        rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                        nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ShowWindow(hCover, SW_SHOWNOACTIVATE);
    UpdateWindow(hCover);
    PumpFor(dwMs);
    DestroyWindow(hCover);
    PumpFor(50);
}

// The screen as 32-bit pixels (top row first); saved as a BMP when path is given.
struct Screen
{
    int cx = 0;
    int cy = 0;
    std::vector<DWORD> pixels;

    // The share of pure red pixels in rect, in per cent.
    double RedShare(const RECT& rect) const
    {
        unsigned nRed = 0;
        unsigned nAll = 0;
        for (int y = std::max(0L, rect.top); y < std::min<LONG>(cy, rect.bottom); ++y)
        {
            for (int x = std::max(0L, rect.left); x < std::min<LONG>(cx, rect.right); ++x)
            {
                ++nAll;
                const DWORD pixel = pixels[static_cast<size_t>(y) * static_cast<size_t>(cx) +
                                           static_cast<size_t>(x)];
                if ((pixel & 0xFFFFFF) == 0xFF0000)
                {
                    ++nRed;
                }
            }
        }
        return nAll == 0 ? 0 : 100.0 * nRed / nAll;
    }
};

Screen TakeScreen(const std::wstring& path)
{
    Screen screen;
    screen.cx = GetSystemMetrics(SM_CXSCREEN);
    screen.cy = GetSystemMetrics(SM_CYSCREEN);
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = screen.cx;
    bmi.bmiHeader.biHeight = -screen.cy;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    const HDC hScreen = GetDC(nullptr);
    const HDC hMem = CreateCompatibleDC(hScreen);
    void* pBits = nullptr;
    const HBITMAP hBitmap = CreateDIBSection(hScreen, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    const HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    BitBlt(hMem, 0, 0, screen.cx, screen.cy, hScreen, 0, 0, SRCCOPY);
    GdiFlush();
    const size_t nPixels = static_cast<size_t>(screen.cx) * static_cast<size_t>(screen.cy);
    screen.pixels.assign(static_cast<const DWORD*>(pBits),
                         static_cast<const DWORD*>(pBits) + nPixels);
    SelectObject(hMem, hOld);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    if (!path.empty())
    {
        BITMAPFILEHEADER bfh{};
        bfh.bfType = 0x4D42;
        bfh.bfOffBits = sizeof bfh + sizeof bmi.bmiHeader;
        bfh.bfSize = static_cast<DWORD>(bfh.bfOffBits + nPixels * 4);
        std::string bytes(reinterpret_cast<const char*>(&bfh), sizeof bfh);
        bytes.append(reinterpret_cast<const char*>(&bmi.bmiHeader), sizeof bmi.bmiHeader);
        bytes.append(reinterpret_cast<const char*>(screen.pixels.data()), nPixels * 4);
        WriteText(path, bytes);
    }
    return screen;
}

// Files of the installation left by a copy that was cut short.
unsigned CountLeftovers(const std::wstring& folder)
{
    unsigned n = 0;
    WIN32_FIND_DATAW fd;
    const UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (!find)
    {
        return 0;
    }
    do
    {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
        {
            continue;
        }
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            n += CountLeftovers(folder + L"\\" + name);
        }
        else if (SCFileIterator::IsCopyLeftoverName(name))
        {
            ++n;
        }
    } while (FindNextFileW(find.get(), &fd));
    return n;
}

// A forced run over a run's installation from the release at <fuse release> (reached as
// \\COMPUTER\...) whose share stops answering once the log has nAfter "Copying..." lines,
// for dwStallMs; then it answers again. Prints what the user had meanwhile: whether
// the dialog and the status popup took messages (WM_NULL, 1 s timeout, polled), whether
// they painted themselves again after a window covered them, and screenshots in <shots>.
int StallCopyCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& fuseRelease,
                     const std::wstring& control, unsigned nAfter, DWORD dwStallMs,
                     unsigned nLatencyMs, const std::wstring& shots)
{
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring log = bin + L"\\QVSCliUpdate.log";
    const std::wstring exe = bin + L"\\QVSCliUpdate.exe";
    const StallControl stall(control, LastComponent(fuseRelease));
    stall.Lift();
    stall.SetLatency(nLatencyMs);
    ResetRun(folder, nFiles, UncOf(fuseRelease));
    const size_t nPlanned = RunPlan(nFiles).size();
    if (!shots.empty())
    {
        MakeDirs(shots);
    }
    const auto at = [](LONGLONG t, LONGLONG tFrom)
    { return std::to_wstring(static_cast<long long>(Ms(t - tFrom))) + L" ms"; };

    const StartRecord record(bin + L"\\QVS.started");
    const size_t nOld = record.Size();
    const LONGLONG t0 = Now();
    const Child child = Start(L"\"" + exe + L"\" /force", bin);
    std::wstring pid;
    for (int i = 0; i < 200 && pid.empty(); ++i)
    {
        pid = FindUnixProcess(exe);
    }
    unsigned nCopied = 0;
    while ((nCopied = CountCopyingLines(log)) < nAfter)
    {
        if (WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0)
        {
            Fail(L"the run ended before it copied " + std::to_wstring(nAfter) + L" files");
        }
        Sleep(1);
    }
    stall.Stall();
    const LONGLONG tStall = Now();
    Progress(L"stall-copy: the share stopped answering " + at(tStall, t0) +
             L" after the start, at " + std::to_wstring(nCopied) + L" of " +
             std::to_wstring(nPlanned) + L" copies");

    ProcessWindows windows;
    windows.dwProcessId = GetProcessId(child.process.get());
    windows.dwMainThreadId = GetThreadId(child.thread.get());
    EnumWindows(&FindProcessWindow, reinterpret_cast<LPARAM>(&windows));
    RECT rcDialog{};
    RECT rcPopup{};
    GetWindowRect(windows.hDialog, &rcDialog);
    GetWindowRect(windows.hPopup, &rcPopup);

    // Polled until the stall is over and then until the client starts.
    struct Series
    {
        const wchar_t* name;
        HWND hWnd;
        unsigned nAnswered = 0;
        unsigned nSilent = 0;
        double maxMs = 0;
        double firstSilent = -1; // ms after the stall
        double lastSilent = -1;
    };
    Series series[] = {{L"dialog", windows.hDialog}, {L"status popup", windows.hPopup}};
    bool bCovered = false;
    bool bShotStalled = false;
    bool bLifted = false;
    LONGLONG tLift = 0;
    LONGLONG tResumed = 0;
    unsigned nAtLift = 0;
    std::wstring threadsWhileStalled;
    double redDialog = -1;
    double redPopup = -1;
    double tClient = 0;
    for (;;)
    {
        const double msStall = Ms(Now() - tStall);
        if (!bShotStalled && msStall > 1500)
        {
            bShotStalled = true;
            threadsWhileStalled = UnixThreadStates(pid);
            TakeScreen(shots.empty() ? std::wstring() : shots + L"\\1-stalled.bmp");
        }
        if (!bCovered && msStall > 3000)
        {
            bCovered = true;
            RECT rcBoth{};
            UnionRect(&rcBoth, &rcDialog, &rcPopup);
            CoverFor(rcBoth, 300);
            PumpFor(1000);
            const Screen screen =
                TakeScreen(shots.empty() ? std::wstring() : shots + L"\\2-after-cover.bmp");
            redDialog = screen.RedShare(rcDialog);
            redPopup = screen.RedShare(rcPopup);
        }
        if (!bLifted && msStall >= dwStallMs)
        {
            bLifted = true;
            nAtLift = CountCopyingLines(log);
            stall.Lift();
            tLift = Now();
            // The next copy, watched closely.
            while (tResumed == 0 && Ms(Now() - tLift) < 10000)
            {
                if (CountCopyingLines(log) > nAtLift)
                {
                    tResumed = Now();
                }
                Sleep(1);
            }
        }
        if (bLifted && record.Size() > nOld)
        {
            tClient = Ms(record.WaitForStart(nOld) - t0);
            break;
        }
        for (Series& s : series)
        {
            // A poll counts at the moment it was sent.
            const double msSent = Ms(Now() - tStall);
            const double ms = AnswerTime(s.hWnd);
            if (ms == -2)
            {
                continue;
            }
            if (ms < 0)
            {
                ++s.nSilent;
                if (s.firstSilent < 0)
                {
                    s.firstSilent = msSent;
                }
                s.lastSilent = msSent;
            }
            else
            {
                ++s.nAnswered;
                s.maxMs = std::max(s.maxMs, ms);
            }
        }
        Sleep(250);
        if (Ms(Now() - tStall) > dwStallMs + 120000.0)
        {
            Fail(L"the client was not started within 2 minutes of the stall's end");
        }
    }
    WaitForExit(child);
    const double msEnded = Ms(Now() - t0);

    // What the run left: every planned file the release's, whole; no leftovers.
    const unsigned nNotUpdated = CountNotUpdated(folder, nFiles);
    unsigned nDiffer = 0;
    for (const PlannedFile& file : RunPlan(nFiles))
    {
        const std::wstring relative = L"\\" + file.relativeFolder + L"\\" + file.name;
        if (ReadSmallFile(folder + L"\\inst" + relative) != ReadSmallFile(fuseRelease + relative))
        {
            ++nDiffer;
        }
    }
    const unsigned nLeftovers = CountLeftovers(folder + L"\\inst");
    const std::string ini = ReadSmallFile(bin + L"\\QVS.ini");
    const size_t nAt = ini.find("UpdateSucceeded=");
    const std::string succeeded = nAt == std::string::npos ? "?" : ini.substr(nAt + 16, 1);
    stall.SetLatency(0);

    std::wprintf(L"stall-copy: %zu files planned, share stopped at %u copies (%ls after the start)"
                 L" for %lu ms, latency %u ms\n",
                 nPlanned, nCopied, at(tStall, t0).c_str(), dwStallMs, nLatencyMs);
    for (const Series& s : series)
    {
        std::wprintf(L"  %ls: %u polls answered (slowest %.0f ms), %u without an answer in 1 s",
                     s.name, s.nAnswered, s.maxMs, s.nSilent);
        if (s.nSilent != 0)
        {
            std::wprintf(L" (from %.0f ms to %.0f ms after the stall)", s.firstSilent,
                         s.lastSilent);
        }
        std::wprintf(L"\n");
    }
    std::wprintf(
        L"  covered by a red window 3 s into the stall, 1 s after uncovering: dialog %.0f %% red,"
        L" status popup %.0f %% red\n",
        redDialog, redPopup);
    std::wprintf(L"  the program's threads (Unix) 1.5 s into the stall: %ls\n",
                 threadsWhileStalled.empty() ? L"-" : threadsWhileStalled.c_str());
    std::wprintf(
        L"  copies logged when the stall was lifted: %u; next copy logged %ls after the lift;"
        L" client started %.0f ms after the lift; program ended %.0f ms after the lift\n",
        nAtLift, tResumed == 0 ? L"(none)" : at(tResumed, tLift).c_str(), tClient - Ms(tLift - t0),
        msEnded - Ms(tLift - t0));
    std::wprintf(
        L"  afterwards: %u planned files not updated, %u differing from the release, %u copy"
        L" leftovers, UpdateSucceeded=%hs\n",
        nNotUpdated, nDiffer, nLeftovers, succeeded.c_str());
    ResetRun(folder, nFiles);
    return nNotUpdated == 0 && nDiffer == 0 && nLeftovers == 0 ? 0 : 1;
}

struct MemoryPeak
{
    double workingSetMb = 0;
    double pagefileMb = 0;
    double privateMb = 0;
    double clientMs = 0;
};

// Runs a program and polls its memory counters until it ends.
MemoryPeak Poll(const std::wstring& commandLine, const std::wstring& bin)
{
    const StartRecord record(bin + L"\\QVS.started");
    const size_t nOld = record.Size();
    MemoryPeak peak;
    const LONGLONG t0 = Now();
    const Child child = Start(commandLine, bin);
    const auto sample = [&child, &peak]
    {
        PROCESS_MEMORY_COUNTERS_EX pmc{};
        pmc.cb = sizeof pmc;
        if (GetProcessMemoryInfo(child.process.get(),
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc))
        {
            constexpr double kMb = 1024.0 * 1024.0;
            peak.workingSetMb =
                std::max(peak.workingSetMb, static_cast<double>(pmc.PeakWorkingSetSize) / kMb);
            peak.pagefileMb =
                std::max(peak.pagefileMb, static_cast<double>(pmc.PeakPagefileUsage) / kMb);
            peak.privateMb = std::max(peak.privateMb, static_cast<double>(pmc.PrivateUsage) / kMb);
        }
    };
    while (WaitForSingleObject(child.process.get(), 5) == WAIT_TIMEOUT)
    {
        sample();
        if (peak.clientMs == 0 && record.Size() > nOld)
        {
            peak.clientMs = Ms(record.WaitForStart(nOld) - t0);
        }
    }
    if (peak.clientMs == 0)
    {
        peak.clientMs = Ms(record.WaitForStart(nOld) - t0);
    }
    return peak;
}

int MemoryCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& startFolder)
{
    ResetRun(folder, nFiles);
    const std::wstring bin = folder + L"\\inst\\bin";
    const MemoryPeak run = Poll(L"\"" + bin + L"\\QVSCliUpdate.exe\" /force", bin);
    const unsigned nLeft = CountNotUpdated(folder, nFiles);
    ResetRun(folder, nFiles);
    const std::wstring startBin = startFolder + L"\\inst\\bin";
    const MemoryPeak idle = Poll(L"\"" + startBin + L"\\QVSCliUpdate.exe\"", startBin);
    std::wprintf(L"RESULT\tmemory\tfiles=%u\tworkingset=%.1f\tpagefile=%.1f\tprivate=%.1f"
                 L"\tclient_ms=%.1f\tidle_workingset=%.1f\tidle_pagefile=%.1f\tidle_private=%.1f"
                 L"\n",
                 nFiles, run.workingSetMb, run.pagefileMb, run.privateMb, run.clientMs,
                 idle.workingSetMb, idle.pagefileMb, idle.privateMb);
    return nLeft == 0 ? 0 : 3;
}

// ---- edit ----

INT_PTR CALLBACK QuietDialogProc(HWND, UINT uMsg, WPARAM, LPARAM)
{
    return uMsg == WM_INITDIALOG ? TRUE : FALSE;
}

void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        DispatchMessageW(&msg);
    }
}

// The program's own dialog (its template, and common controls 6 as its manifest
// asks) fed with nLines entry lines in batches of nBatch, as the walk feeds it:
// each batch appended at the end, then the top brought into view and painted.
int EditCommand(unsigned nLines, unsigned nBatch, bool bPrepend, bool bNoRedraw)
{
    const std::wstring exe = ExeFolder() + L"QVSCliUpdate.exe";
    ACTCTXW ctx{};
    ctx.cbSize = sizeof ctx;
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.lpSource = exe.c_str();
    ctx.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE hContext = CreateActCtxW(&ctx);
    ULONG_PTR cookie = 0;
    if (hContext != INVALID_HANDLE_VALUE)
    {
        ActivateActCtx(hContext, &cookie);
    }
    const UniqueModule resources(LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const HWND hDlg =
        CreateDialogParamW(resources.get(), MAKEINTRESOURCEW(102), nullptr, &QuietDialogProc, 0);
    if (hDlg == nullptr)
    {
        Fail(L"cannot create the dialog");
    }
    ShowWindow(hDlg, SW_SHOWNORMAL);
    Pump();
    const HWND hEdit = GetDlgItem(hDlg, 1000);
    SendMessageW(hEdit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);

    std::vector<double> batchMs;
    std::wstring batch;
    double total = 0;
    for (unsigned i = 0; i < nLines; ++i)
    {
        batch += L"Z:\\work\\wt-bench\\build\\release\\bench-data\\run-20000\\inst\\" +
                 TreeFolder(i / kFilesPerFolder) + L"\\\t\t" + TreeFileName(i) +
                 L"\t\t02/11/26 08:00:00\r\n";
        if ((i + 1) % nBatch != 0 && i + 1 != nLines)
        {
            continue;
        }
        const LONGLONG t0 = Now();
        if (bNoRedraw)
        {
            SendMessageW(hEdit, WM_SETREDRAW, FALSE, 0);
        }
        const int nEnd = bPrepend ? 0 : GetWindowTextLengthW(hEdit);
        SendMessageW(hEdit, EM_SETSEL, static_cast<WPARAM>(nEnd), nEnd);
        SendMessageW(hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(batch.c_str()));
        SendMessageW(hEdit, EM_SETSEL, 0, 0);
        SendMessageW(hEdit, EM_SCROLLCARET, 0, 0);
        if (bNoRedraw)
        {
            SendMessageW(hEdit, WM_SETREDRAW, TRUE, 0);
            InvalidateRect(hEdit, nullptr, TRUE);
        }
        Pump();
        const double ms = Ms(Now() - t0);
        batchMs.push_back(ms);
        total += ms;
        batch.clear();
    }
    DestroyWindow(hDlg);
    if (cookie != 0)
    {
        DeactivateActCtx(0, cookie);
    }
    if (hContext != INVALID_HANDLE_VALUE)
    {
        ReleaseActCtx(hContext);
    }
    std::wprintf(L"RESULT\tedit\tlines=%u\tbatch=%u\t%ls\ttotal=%.1f\tfirst=%.1f\tlast=%.1f"
                 L"\tper_line=%.3f\n",
                 nLines, nBatch, bPrepend ? L"prepend" : L"append", total, batchMs.front(),
                 batchMs.back(), total / nLines);
    return 0;
}

unsigned Count(const wchar_t* text)
{
    return static_cast<unsigned>(std::wcstoul(text, nullptr, 10));
}

int Usage()
{
    std::fwprintf(stderr, L"usage: QVSBench make-tree|make-start|make-run|start|walk|full-run|"
                          L"walk-copy|memory ... (see the head of bench/QVSBench.cpp)\n");
    return 2;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        return Usage();
    }
    const std::wstring command = argv[1];
    const std::wstring folder = argv[2];
    const auto number = [argc, argv](int i, unsigned nDefault)
    { return argc > i ? Count(argv[i]) : nDefault; };
    if (command == L"make-tree" && argc > 3)
    {
        return MakeTreeCommand(folder, Count(argv[3]));
    }
    if (command == L"make-start")
    {
        return MakeStart(folder);
    }
    if (command == L"make-run" && argc > 3)
    {
        return MakeRun(folder, Count(argv[3]));
    }
    if (command == L"reset-run" && argc > 3)
    {
        ResetRun(folder, Count(argv[3]));
        return 0;
    }
    if (command == L"edit")
    {
        const std::wstring mode = argc > 4 ? argv[4] : L"";
        return EditCommand(number(2, 20000), number(3, 500), mode.find(L"prepend") == 0,
                           mode.find(L"noredraw") != std::wstring::npos);
    }
    if (command == L"start")
    {
        return StartCommand(folder, static_cast<int>(number(3, 15)),
                            std::vector<std::wstring>(argv + std::min(argc, 4), argv + argc));
    }
    if (command == L"walk" && argc > 3)
    {
        return WalkCommand(std::vector<std::wstring>(argv + 3, argv + argc),
                           static_cast<int>(number(2, 5)));
    }
    if (command == L"verify-copy" && argc > 3)
    {
        return VerifyCopyCommand(folder, argv[3], static_cast<int>(number(4, 7)));
    }
    if (command == L"walk-copy" && argc > 3)
    {
        return WalkCopyCommand(folder, Count(argv[3]));
    }
    if (command == L"full-run" && argc > 3)
    {
        return FullRunCommand(folder, Count(argv[3]), static_cast<int>(number(4, 5)),
                              std::vector<std::wstring>(argv + std::min(argc, 5), argv + argc));
    }
    if (command == L"make-release" && argc > 4)
    {
        return MakeReleaseCommand(folder, Count(argv[3]), argv[4]);
    }
    if (command == L"share-start" && argc > 6)
    {
        return ShareStartCommand(folder, argv[3], argv[4], argv[5],
                                 static_cast<int>(Count(argv[6])));
    }
    if (command == L"share-run" && argc > 6)
    {
        return ShareRunCommand(folder, Count(argv[3]), static_cast<int>(Count(argv[4])), argv[5],
                               argv[6]);
    }
    if (command == L"share-stall" && argc > 6)
    {
        return ShareStallCommand(folder, argv[3], argv[4], argv[5],
                                 static_cast<int>(Count(argv[6])), number(7, 5000));
    }
    if (command == L"make-verify")
    {
        return MakeVerifyCommand(folder);
    }
    if (command == L"verify-run")
    {
        return VerifyRunCommand(folder, static_cast<int>(number(3, 7)));
    }
    if (command == L"stall-copy" && argc > 7)
    {
        return StallCopyCommand(folder, Count(argv[3]), argv[4], argv[5], Count(argv[6]),
                                Count(argv[7]), number(8, 0), argc > 9 ? argv[9] : L"");
    }
    if (command == L"memory" && argc > 4)
    {
        return MemoryCommand(folder, Count(argv[3]), argv[4]);
    }
    return Usage();
}
