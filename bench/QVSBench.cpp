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
//       <folder>\release: the same tree with 200 files changed and 50 added
//       (10 of them in 5 new folders), published with QVSMakeList.exe
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

// Bytes that files are cut from: no two files of a tree begin alike.
const std::vector<char>& Filler()
{
    static const std::vector<char> s_bytes = []
    {
        std::vector<char> bytes(1 << 16);
        unsigned x = 2463534242u;
        for (char& c : bytes)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<char>(x & 0xFF);
        }
        return bytes;
    }();
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
constexpr unsigned kChanged = 200;
constexpr unsigned kAddedInOldFolders = 40;
constexpr unsigned kNewFolders = 5;
constexpr unsigned kAddedPerNewFolder = 2;

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
    const unsigned nStep = nFiles / kChanged;
    for (unsigned c = 0; c < kChanged; ++c)
    {
        const unsigned i = c * nStep + nStep / 2;
        plan.push_back({TreeFolder(i / kFilesPerFolder), TreeFileName(i), false, i});
    }
    const unsigned nFolders = nFiles / kFilesPerFolder;
    for (unsigned a = 0; a < kAddedInOldFolders; ++a)
    {
        plan.push_back(
            {TreeFolder(a * 37 % nFolders), L"added" + std::to_wstring(a) + L".dll", true, 0});
    }
    for (unsigned q = 0; q < kNewFolders; ++q)
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

void WriteIni(const std::wstring& bin, const std::wstring& release)
{
    WriteText(bin + L"\\QVS.ini", "[HotUpdate]\r\nSourceFolder=" + Narrow(UncOf(release)) + "\r\n");
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
};

void RunRounds(std::vector<Candidate>& candidates, int nRounds)
{
    for (int r = -1; r < nRounds; ++r)
    {
        std::wstring strTimes;
        for (size_t c = 0; c < candidates.size(); ++c)
        {
            Candidate& candidate = candidates[(c + static_cast<size_t>(r + 1)) % candidates.size()];
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

// ---- make-* ----

int MakeTreeCommand(const std::wstring& root, unsigned nFiles)
{
    RemoveTree(root);
    MakeTree(root, nFiles);
    return 0;
}

int MakeStart(const std::wstring& folder)
{
    RemoveTree(folder);
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring release = folder + L"\\release";
    MakeDirs(bin);
    MakeDirs(release + L"\\bin");
    CopyProgram(L"QVSCliUpdate.exe", bin + L"\\QVSCliUpdate.exe");
    CopyProgram(L"StandInClient.exe", bin + L"\\QVS.exe");
    CopyProgram(L"BareLauncher.exe", bin + L"\\BareLauncher.exe");
    CopyProgram(L"DialogLauncher.exe", bin + L"\\DialogLauncher.exe");
    for (unsigned i = 0; i < 3; ++i)
    {
        WriteFileAt(bin + L"\\" + TreeFileName(i), i, TreeFileSize(i), TreeFileTime(i));
        WriteFileAt(release + L"\\bin\\" + TreeFileName(i), i, TreeFileSize(i), TreeFileTime(i));
    }
    WriteIni(bin, release);
    const Child publish = Start(L"\"" + ExeFolder() + L"QVSMakeList.exe\" \"" + release + L"\"",
                                std::wstring(), true);
    if (WaitForExit(publish) != 0)
    {
        Fail(L"QVSMakeList.exe failed on " + release);
    }
    return 0;
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
    Progress(L"release of " +
             std::to_wstring(nFiles + kAddedInOldFolders + kNewFolders * kAddedPerNewFolder) +
             L" files");
    MakeTree(release, nFiles);
    for (const PlannedFile& file : RunPlan(nFiles))
    {
        const std::wstring folderPath = release + L"\\" + file.relativeFolder;
        MakeDirs(folderPath);
        const size_t nSize = file.bAdded ? 3000 : TreeFileSize(file.nIndex) + 100;
        WriteFileAt(folderPath + L"\\" + file.name, file.nIndex + 977, nSize, ReleaseTime());
    }
    const Child publish = Start(L"\"" + ExeFolder() + L"QVSMakeList.exe\" \"" + release + L"\"",
                                std::wstring(), true);
    if (WaitForExit(publish) != 0)
    {
        Fail(L"QVSMakeList.exe failed on " + release);
    }
    return 0;
}

// Puts a run's installation back as make-run left it.
void ResetRun(const std::wstring& folder, unsigned nFiles)
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
    for (unsigned q = 0; q < kNewFolders; ++q)
    {
        RemoveTree(inst + L"\\newpack" + std::to_wstring(q));
    }
    for (const wchar_t* name :
         {L"\\HotUpdateFileList_Client.txt", L"\\HotUpdateFileList_Server.txt",
          L"\\bin\\QVSCliUpdate.log", L"\\bin\\QVS.started"})
    {
        DeleteFileW((inst + name).c_str());
    }
    WriteIni(inst + L"\\bin", folder + L"\\release");
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
    for (const Candidate& candidate : candidates)
    {
        PrintTimes(candidate);
    }
    std::wprintf(L"\n");
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
    std::vector<char> bytes(kSize);
    for (unsigned i = 0; i < kFiles; ++i)
    {
        unsigned x = 2463534242u + i * 7919u;
        for (char& c : bytes)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<char>(x & 0xFF);
        }
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
    for (const Candidate& candidate : candidates)
    {
        PrintTimes(candidate);
    }
    std::wprintf(L"\n");
    return 0;
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
    if (command == L"memory" && argc > 4)
    {
        return MemoryCommand(folder, Count(argv[3]), argv[4]);
    }
    return Usage();
}
