#include "bench/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qvsbench
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

void Fail(const std::wstring& what)
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
    ForEachEntry(path,
                 [&path](const WIN32_FIND_DATAW& fd)
                 {
                     const std::wstring child = path + L"\\" + fd.cFileName;
                     if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                     {
                         RemoveTree(child);
                     }
                     else
                     {
                         SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                         DeleteFileW(child.c_str());
                     }
                     return true;
                 });
    RemoveDirectoryW(path.c_str());
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring LastComponent(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
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

namespace
{
// nSecondsLater than 08:00 UTC of the day.
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
} // namespace

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

void WriteBytes(const std::wstring& path, const char* pBytes, size_t nSize,
                const FILETIME* pftWrite)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        Fail(L"cannot write " + path);
    }
    DWORD dwWritten = 0;
    WriteFile(file.get(), pBytes, static_cast<DWORD>(nSize), &dwWritten, nullptr);
    if (pftWrite != nullptr)
    {
        SetFileTime(file.get(), nullptr, nullptr, pftWrite);
    }
}

void WriteFileAt(const std::wstring& path, size_t nOffset, size_t nSize, const FILETIME& ftWrite)
{
    // Bytes that files are cut from: no two files of a tree begin alike.
    static const std::vector<char> s_filler = NoiseBytes(1 << 16, 0);
    WriteBytes(path, s_filler.data() + nOffset % (s_filler.size() / 2), nSize, &ftWrite);
}

void WriteText(const std::wstring& path, const std::string& text)
{
    WriteBytes(path, text.data(), text.size());
}

std::string ReadFileFrom(const std::wstring& path, size_t nFrom)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    if (!file)
    {
        return text;
    }
    if (nFrom != 0)
    {
        LARGE_INTEGER pos;
        pos.QuadPart = static_cast<LONGLONG>(nFrom);
        SetFilePointerEx(file.get(), pos, nullptr, FILE_BEGIN);
    }
    char buffer[4096];
    DWORD dwRead = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &dwRead, nullptr) && dwRead != 0)
    {
        text.append(buffer, dwRead);
    }
    return text;
}

namespace
{
// To the ANSI code page (QVS.ini, the Unix command lines).
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
} // namespace

// ---- The trees, the runs' plans, the installations ----

namespace
{
constexpr unsigned kAddedPerNewFolder = 2;
} // namespace

PlanSize PlanSizeOf(unsigned nFiles)
{
    const unsigned nBase = std::min(nFiles, 20000u);
    return {nBase / 100, nBase / 500, std::max(1u, nBase / 4000)};
}

// Ten to a level below the first.
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

size_t TreeFileSize(unsigned i)
{
    return 512 + (static_cast<size_t>(i) * 2654435761u) % 7680;
}

FILETIME TreeFileTime(unsigned i)
{
    return FileTimeOf(2026, 11, 2, i % 3600);
}

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

std::wstring UncOf(const std::wstring& local)
{
    wchar_t szName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(szName, &n);
    return L"\\\\" + std::wstring(szName, n) + local.substr(2);
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

void WriteIniSource(const std::wstring& bin, const std::wstring& strSource,
                    const std::wstring& strMoreLines)
{
    WriteText(bin + L"\\QVS.ini",
              "[HotUpdate]\r\nSourceFolder=" + Narrow(strSource) + "\r\n" + Narrow(strMoreLines));
}

void CopyProgram(const std::wstring& name, const std::wstring& destination)
{
    if (!CopyFileW((ExeFolder() + name).c_str(), destination.c_str(), FALSE))
    {
        Fail(L"cannot copy " + name + L" to " + destination);
    }
}

void InstallPrograms(const std::wstring& bin, const std::wstring& release,
                     const std::wstring& strSource)
{
    MakeDirs(bin);
    CopyProgram(L"QVSCliUpdate.exe", bin + L"\\QVSCliUpdate.exe");
    CopyProgram(L"StandInClient.exe", bin + L"\\QVS.exe");
    WriteIniSource(bin, strSource.empty() ? UncOf(release) : strSource);
}

void RunMakeList(const std::wstring& arguments)
{
    const std::wstring commandLine = Quoted(ExeFolder() + L"QVSMakeList.exe") + L" " + arguments;
    if (WaitForExit(Start(commandLine, std::wstring(), true)) != 0)
    {
        Fail(L"QVSMakeList.exe failed: " + arguments);
    }
}

void Publish(const std::wstring& folder)
{
    RunMakeList(Quoted(folder));
}

void MakeSmallInstallation(const std::wstring& bin, const std::wstring& release,
                           const std::wstring& strSource)
{
    InstallPrograms(bin, release, strSource);
    MakeDirs(release + L"\\bin");
    for (unsigned i = 0; i < 3; ++i)
    {
        WriteFileAt(bin + L"\\" + TreeFileName(i), i, TreeFileSize(i), TreeFileTime(i));
        WriteFileAt(release + L"\\bin\\" + TreeFileName(i), i, TreeFileSize(i), TreeFileTime(i));
    }
    Publish(release);
}

void MakeSeenInstallation(const std::wstring& inst, const std::wstring& release,
                          const std::wstring& strSource)
{
    MakeSmallInstallation(inst + L"\\bin", release, strSource);
    // A copy of the release list, with its time, in the root, as a run leaves it.
    if (!CopyFileW((release + L"\\HotUpdateFileList_Server.txt").c_str(),
                   (inst + L"\\HotUpdateFileList_Server.txt").c_str(), FALSE))
    {
        Fail(L"cannot copy the release list of " + release);
    }
}

void ForgetRuns(const std::wstring& inst, const std::wstring& release,
                const std::wstring& strSource)
{
    // The record only comes with xcopy /E, which copies the release folder whole.
    for (const wchar_t* name :
         {L"\\HotUpdateFileList_Client.txt", L"\\HotUpdateFileList_Server.txt",
          L"\\HotUpdateFileList_Server.sha256", L"\\bin\\QVSCliUpdate.log", L"\\bin\\QVS.started"})
    {
        DeleteFileW((inst + name).c_str());
    }
    WriteIniSource(inst + L"\\bin", strSource.empty() ? UncOf(release) : strSource);
}

void ResetRun(const std::wstring& folder, unsigned nFiles, const std::wstring& strSource)
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
    ForgetRuns(inst, folder + L"\\release", strSource);
}

bool IsReleaseFile(const std::wstring& path, size_t nSize)
{
    const FILETIME ftRelease = ReleaseTime();
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           (nSize == 0 || data.nFileSizeLow == nSize) &&
           CompareFileTime(&data.ftLastWriteTime, &ftRelease) == 0;
}

unsigned CountNotUpdated(const std::wstring& folder, unsigned nFiles)
{
    unsigned nMissing = 0;
    for (const PlannedFile& file : RunPlan(nFiles))
    {
        if (!IsReleaseFile(folder + L"\\inst\\" + file.relativeFolder + L"\\" + file.name))
        {
            ++nMissing;
        }
    }
    return nMissing;
}

void CheckUpdated(const std::wstring& folder, unsigned nFiles, const std::wstring& who)
{
    const unsigned nLeft = CountNotUpdated(folder, nFiles);
    if (nLeft != 0)
    {
        Fail(who + L" left " + std::to_wstring(nLeft) + L" planned files as they were");
    }
}

std::unique_ptr<FileListEntry> PlanEntry(const std::wstring& folder, const std::wstring& name,
                                         const std::wstring& target)
{
    auto pEntry = std::make_unique<FileListEntry>();
    pEntry->folder = folder;
    pEntry->name = name;
    pEntry->target = target;
    return pEntry;
}

std::wstring VerifyFileName(unsigned i)
{
    return L"file" + std::to_wstring(i) + L".bin";
}

void WriteStallRunFiles(const std::wstring& root, bool bReleased)
{
    MakeDirs(root + L"\\big");
    MakeDirs(root + L"\\data");
    const FILETIME ftRelease = ReleaseTime();
    if (bReleased)
    {
        const std::vector<char> bytes = NoiseBytes(kStallBigSize, 7);
        WriteBytes(root + L"\\big\\big.bin", bytes.data(), bytes.size(), &ftRelease);
    }
    else
    {
        WriteFileAt(root + L"\\big\\big.bin", 7, 1000, TreeFileTime(0));
    }
    for (unsigned i = 0; i < kStallSmallFiles; ++i)
    {
        WriteFileAt(root + L"\\data\\" + VerifyFileName(i), i, bReleased ? 100000 : 1000,
                    bReleased ? ftRelease : TreeFileTime(i));
    }
}

void ResetVerify(const std::wstring& folder)
{
    const std::wstring inst = folder + L"\\inst";
    for (unsigned i = 0; i < kVerifyFiles; ++i)
    {
        WriteFileAt(inst + L"\\data\\" + VerifyFileName(i), i, 100, TreeFileTime(i));
    }
    ForgetRuns(inst, folder + L"\\release");
}

void CheckVerify(const std::wstring& folder, const std::wstring& who)
{
    for (unsigned i = 0; i < kVerifyFiles; ++i)
    {
        const std::wstring path = folder + L"\\inst\\data\\" + VerifyFileName(i);
        if (!IsReleaseFile(path, kVerifySize))
        {
            Fail(who + L" did not install " + path);
        }
    }
}

// ---- Processes ----

Child Start(const std::wstring& commandLine, const std::wstring& currentDir, bool bQuiet)
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

DWORD WaitForExit(const Child& child, DWORD dwTimeoutMs)
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

size_t StartRecord::Size() const
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(m_path.c_str(), GetFileExInfoStandard, &data))
    {
        return 0;
    }
    return data.nFileSizeLow;
}

LONGLONG StartRecord::WaitForStart(size_t nOldSize, DWORD dwTimeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
    for (;;)
    {
        if (Size() > nOldSize)
        {
            const std::string text = ReadFileFrom(m_path, nOldSize);
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

double TimeToEnd(const std::wstring& commandLine, const std::wstring& currentDir, bool bQuiet,
                 const std::wstring& what)
{
    const LONGLONG t0 = Now();
    const Child child = Start(commandLine, currentDir, bQuiet);
    const DWORD dwCode = WaitForExit(child);
    const double ms = Ms(Now() - t0);
    if (dwCode != 0)
    {
        Fail(what + L" failed with " + std::to_wstring(dwCode));
    }
    return ms;
}

double TimeXcopy(const std::wstring& folder)
{
    // The release through the same UNC path as the program's SourceFolder.
    return TimeToEnd(L"xcopy " + Quoted(UncOf(folder + L"\\release")) + L" " +
                         Quoted(folder + L"\\inst") + L" /E /D /Y /I",
                     folder + L"\\inst\\bin", true, L"xcopy");
}

void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        DispatchMessageW(&msg);
    }
}

// ---- Rounds ----

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
        if (strTimes.empty())
        {
            continue; // a warm-up round of candidates that all sit it out
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

void PrintTimes(const std::vector<Candidate>& candidates)
{
    for (const Candidate& candidate : candidates)
    {
        PrintTimes(candidate);
    }
}

void PrintTimesAndEnd(const std::vector<Candidate>& candidates)
{
    PrintTimes(candidates);
    std::wprintf(L"\n");
}

// ---- The stalling share ----

StallControl::StallControl(const std::wstring& control, const std::wstring& name)
    : m_stall(control + L"\\" + name + L".stall"), m_latency(control + L"\\" + name + L".latency")
{
    Lift();
    SetLatency(0);
}

void StallControl::SetLatency(unsigned nMs) const
{
    WriteText(m_latency, std::to_string(nMs));
}

void StallControl::Stall() const
{
    WriteText(m_stall, "");
}

void StallControl::StallReads(const std::wstring& name) const
{
    WriteText(m_stall, "read:" + Narrow(name) + "\n");
}

void StallControl::Lift() const
{
    DeleteFileW(m_stall.c_str());
}

// ---- Under Wine: the Unix side of a Windows process ----

namespace
{
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

bool IsNumber(const wchar_t* name)
{
    return name[0] >= L'0' && name[0] <= L'9';
}
} // namespace

std::wstring FindUnixProcess(const std::wstring& program)
{
    const std::string wanted = LowerAscii(Narrow(program));
    std::wstring pid;
    for (int i = 0; i < 200 && pid.empty(); ++i)
    {
        ForEachEntry(L"Z:\\proc",
                     [&wanted, &pid](const WIN32_FIND_DATAW& fd)
                     {
                         if (IsNumber(fd.cFileName) &&
                             LowerAscii(ReadFileFrom(std::wstring(L"Z:\\proc\\") + fd.cFileName +
                                                     L"\\cmdline"))
                                     .find(wanted) != std::string::npos)
                         {
                             pid = fd.cFileName;
                         }
                         return pid.empty();
                     });
    }
    return pid;
}

std::wstring UnixThreadStates(const std::wstring& pid)
{
    const std::wstring tasks = L"Z:\\proc\\" + pid + L"\\task";
    std::wstring states;
    ForEachEntry(tasks,
                 [&tasks, &states](const WIN32_FIND_DATAW& fd)
                 {
                     if (!IsNumber(fd.cFileName))
                     {
                         return true;
                     }
                     const std::wstring task = tasks + L"\\" + fd.cFileName;
                     const std::string stat = ReadFileFrom(task + L"\\stat");
                     const size_t nParen = stat.rfind(')');
                     if (nParen == std::string::npos || nParen + 2 >= stat.size())
                     {
                         return true;
                     }
                     std::string state(1, stat[nParen + 2]);
                     const std::string wchan = ReadFileFrom(task + L"\\wchan");
                     if (state != "Z" && !wchan.empty() && wchan != "0")
                     {
                         state += " " + wchan;
                     }
                     states +=
                         (states.empty() ? L"" : L", ") + std::wstring(state.begin(), state.end());
                     return true;
                 });
    return states.empty() ? L"gone" : states;
}

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
} // namespace qvsbench
