#pragma once
// What the commands of QVSBench.exe share: time and medians, files, the benchmark's
// trees and installations, the programs it starts and times, the rounds of
// candidates and their RESULT lines, the stalling share's controls and, under Wine,
// the Unix side of a Windows process. Each command lives in a file of its own
// (BenchCommands.h names them).

#include "framework/AfxHandle.h"
#include "lib/File.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvsbench
{
// ---- Time ----

LONGLONG Now();            // the performance counter
double Ms(LONGLONG ticks); // performance-counter ticks in ms
double Median(std::vector<double> values);

[[noreturn]] void Fail(const std::wstring& what); // on standard error; exit code 3
void Progress(const std::wstring& what);          // a line on standard error

// ---- Files ----

std::wstring ExeFolder(); // with a final backslash
void MakeDirs(const std::wstring& path);
void RemoveTree(const std::wstring& path);
bool Exists(const std::wstring& path);
std::wstring LastComponent(const std::wstring& path);
FILETIME LastWriteTime(const std::wstring& path); // stops the bench when there is no file

// Calls f(WIN32_FIND_DATAW) for each entry of folder but "." and ".." until f
// returns false.
template <class F> void ForEachEntry(const std::wstring& folder, F&& f)
{
    WIN32_FIND_DATAW fd;
    const UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (!find)
    {
        return;
    }
    do
    {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L".." && !f(fd))
        {
            return;
        }
    } while (FindNextFileW(find.get(), &fd));
}

// nBytes of file n's own noise (xorshift): no two files alike, nothing that compresses.
std::vector<char> NoiseBytes(size_t nBytes, unsigned n);
// Writes the file anew (stopping the bench when it cannot), with ftWrite when given.
void WriteBytes(const std::wstring& path, const char* pBytes, size_t nSize,
                const FILETIME* pftWrite = nullptr);
// nSize bytes of the noise that tree files are cut from, from nOffset on.
void WriteFileAt(const std::wstring& path, size_t nOffset, size_t nSize, const FILETIME& ftWrite);
void WriteText(const std::wstring& path, const std::string& text);
// The file's bytes from nFrom on; empty when it cannot be opened.
std::string ReadFileFrom(const std::wstring& path, size_t nFrom = 0);

// ---- The trees, the runs' plans, the installations ----

constexpr unsigned kFilesPerFolder = 20;

// What a release changes in a run's installation: up to 20,000 files, 1 % of them
// changed and 0.25 % added (a fifth of those in new folders); larger installations
// get the changes of 20,000 (200 changed, 40 added in old folders, 5 new folders).
struct PlanSize
{
    unsigned nChanged;
    unsigned nAddedInOldFolders;
    unsigned nNewFolders;
};
PlanSize PlanSizeOf(unsigned nFiles);

std::wstring TreeFolder(unsigned k);   // folder k of a tree, relative: dA\eB\fC
std::wstring TreeFileName(unsigned i); // file i's name
size_t TreeFileSize(unsigned i);       // file i's size and time, as installed
FILETIME TreeFileTime(unsigned i);

// What a release changes in a run's installation of nFiles files.
struct PlannedFile
{
    std::wstring relativeFolder; // without a final backslash
    std::wstring name;
    bool bAdded;
    unsigned nIndex; // the tree's file number for a changed file
};
std::vector<PlannedFile> RunPlan(unsigned nFiles);

FILETIME ReleaseTime(); // the time of every file a release changes or adds
// The folder as a client of this machine reaches it: \\COMPUTER\<path after the drive>.
std::wstring UncOf(const std::wstring& local);
// "path", as a command line names a program.
std::wstring Quoted(const std::wstring& path);

void CopyProgram(const std::wstring& name, const std::wstring& destination);
// QVSCliUpdate.exe and the stand-in client as QVS.exe in bin, with a QVS.ini naming
// strSource (UncOf(release) when empty).
void InstallPrograms(const std::wstring& bin, const std::wstring& release,
                     const std::wstring& strSource = {});
// Publishes the release at folder with QVSMakeList.exe (list and record).
void Publish(const std::wstring& folder);
// An installation with the programs in bin and a small published release.
void MakeSmallInstallation(const std::wstring& bin, const std::wstring& release,
                           const std::wstring& strSource = {});
// inst\bin as MakeSmallInstallation makes it, having seen its release's list (as
// a run leaves it): a start finds nothing to update.
void MakeSeenInstallation(const std::wstring& inst, const std::wstring& release,
                          const std::wstring& strSource = {});
// Removes what runs leave in an installation (its lists, a copied release record,
// the log, the client's record of its starts) and writes its QVS.ini again.
void ForgetRuns(const std::wstring& inst, const std::wstring& release,
                const std::wstring& strSource = {});
// Puts a run's installation back as make-run left it, its QVS.ini naming strSource
// (the run's own release when empty).
void ResetRun(const std::wstring& folder, unsigned nFiles, const std::wstring& strSource = {});
// The file is there with the release's time (and nSize bytes, when given).
bool IsReleaseFile(const std::wstring& path, size_t nSize = 0);
// The number of planned files not in place with the release's time.
unsigned CountNotUpdated(const std::wstring& folder, unsigned nFiles);
// Stops the bench when who left a planned file as it was.
void CheckUpdated(const std::wstring& folder, unsigned nFiles, const std::wstring& who);
// An entry of a copy plan: folder\name to target (both folders with a final backslash).
std::unique_ptr<FileListEntry> PlanEntry(const std::wstring& folder, const std::wstring& name,
                                         const std::wstring& target);

// The release record's row: 200 files of 1 MB.
constexpr unsigned kVerifyFiles = 200;
constexpr size_t kVerifySize = 1 << 20;
std::wstring VerifyFileName(unsigned i);

// ---- Processes ----

struct Child
{
    UniqueKernelHandle process;
    UniqueKernelHandle thread;
};

// Starts commandLine in currentDir (the bench's own when empty); bQuiet: its
// standard handles go to NUL.
Child Start(const std::wstring& commandLine, const std::wstring& currentDir, bool bQuiet = false);
// Its exit code; stops the bench when it does not end in time.
DWORD WaitForExit(const Child& child, DWORD dwTimeoutMs = 600000);

// The stand-in client's record of its starts: bin\QVS.started.
class StartRecord
{
public:
    explicit StartRecord(std::wstring path) : m_path(std::move(path)) {}

    size_t Size() const;
    // Waits until a line is added behind nOldSize; the counter value it records.
    LONGLONG WaitForStart(size_t nOldSize, DWORD dwTimeoutMs = 600000) const;

private:
    std::wstring m_path;
};

// From CreateProcess of commandLine to the stand-in client's start, in ms; waits
// for the program's end too.
double TimeToClient(const std::wstring& bin, const std::wstring& commandLine);
// From CreateProcess of commandLine to its end, in ms; stops the bench when it does
// not end with 0 ("<what> failed with <code>").
double TimeToEnd(const std::wstring& commandLine, const std::wstring& currentDir, bool bQuiet,
                 const std::wstring& what);
// xcopy /E /D /Y /I of <folder>\release, reached as \\COMPUTER\..., into <folder>\inst.
double TimeXcopy(const std::wstring& folder);

void Pump(); // dispatches the messages waiting for this thread

// ---- Rounds ----

struct Candidate
{
    const wchar_t* key;
    std::function<double()> run;  // one timed run, in ms
    std::function<void()> before; // untimed preparation
    std::vector<double> times;
    bool bWarmUp = true; // false: left out of the untimed round (a slow one)
};

// Every round runs each candidate in turn, in an order that rotates from round to
// round, after one untimed round.
void RunRounds(std::vector<Candidate>& candidates, int nRounds);
// A candidate's fields of a RESULT line: median, minimum, maximum, every round's.
void PrintTimes(const Candidate& candidate);
void PrintTimes(const std::vector<Candidate>& candidates);
// Every candidate's times, and the end of the RESULT line.
void PrintTimesAndEnd(const std::vector<Candidate>& candidates);

// ---- The stalling share ----

// The controls of one first-level folder of the stalling share (tests/support/stallfs.py):
// <control>\X.stall makes every access below X wait, <control>\X.latency adds its
// milliseconds to each. It answers at once when made, and when it goes.
class StallControl
{
public:
    StallControl(const std::wstring& control, const std::wstring& name);
    ~StallControl() { Lift(); }
    StallControl(const StallControl&) = delete;
    StallControl& operator=(const StallControl&) = delete;

    void SetLatency(unsigned nMs) const;
    void Stall() const;
    void Lift() const;

private:
    std::wstring m_stall;
    std::wstring m_latency;
};

// ---- Under Wine: the Unix side of a Windows process ----
// A Windows process whose threads have all ended may live on as a Unix process
// while one of its threads waits in the kernel (a file system that does not
// answer). Wine shows the Unix processes as Z:\proc; on Windows there is no such
// folder and nothing is found.

// The Unix process whose command line holds the program path, looked for up to 200
// times (a process just started); empty when none.
std::wstring FindUnixProcess(const std::wstring& program);
// "Z" for an ended thread, "D request_wait_answer" for one waiting in the kernel...:
// the states of the Unix process's threads; "gone" when the process is gone.
std::wstring UnixThreadStates(const std::wstring& pid);
// Every thread of the Unix process has ended (what is left waits for its parent to
// take its exit code, and holds nothing).
bool UnixProcessEnded(const std::wstring& pid);
} // namespace qvsbench
