// Row 6 of bench/run: the everyday start with the release folder answering and
// stalled: the client's start, the program's end as Windows sees it and as Wine's
// Unix process (Z:\proc) shows it, and the end after the stall is lifted.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <cstdio>

namespace qvsbench
{
namespace
{
// What one stalled start showed besides the client's start.
struct Observation
{
    double msEnded = -1;     // the Windows process's end, from its start; -1: not seen
    double msUnixEnded = -1; // the Unix process's end, from its start; -1: not seen
    double msAfterLift = -1; // the Unix process's end after the lift; -1: before it
    std::wstring lingering;  // the Unix threads' states before the stall was lifted
};

// Starts exe with the release folder stalled: times the client's start, then the
// Windows process's end and the Unix process's, each waited for up to dwWaitMs after
// the client's start; then lifts the stall and times what is left.
double TimeStalledStart(const std::wstring& bin, const std::wstring& exe, const StallControl& stall,
                        DWORD dwWaitMs, Observation& seen)
{
    const StartRecord record(bin + L"\\QVS.started");
    const size_t nOld = record.Size();
    const LONGLONG t0 = Now();
    const Child child = Start(Quoted(exe), bin);
    const std::wstring pid = FindUnixProcess(exe);
    const double msClient = Ms(record.WaitForStart(nOld) - t0);
    const auto unixGone = [&pid] { return pid.empty() || UnixProcessEnded(pid); };
    // The Windows process's end, and the Unix process's if it comes too.
    while (Ms(Now() - t0) < msClient + dwWaitMs)
    {
        if (seen.msEnded < 0 && WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0)
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
        strUnix = L"ended at " + std::to_wstring(static_cast<int>(seen.msUnixEnded)) + L" ms";
        if (seen.msAfterLift >= 0)
        {
            strUnix += L", " + std::to_wstring(static_cast<int>(seen.msAfterLift)) +
                       L" ms after the stall was lifted (its threads before: " + seen.lingering +
                       L")";
        }
    }
    Progress(L"stalled start: client at " + std::to_wstring(static_cast<int>(msClient)) +
             L" ms, Windows process ended at " + std::to_wstring(static_cast<int>(seen.msEnded)) +
             L" ms, Unix process " + strUnix);
    return msClient;
}
} // namespace

// <folder>\inst has seen the release at <mount folder> (a first-level folder of the
// stalling share, written through its mount) and names it as <unc>. Each round
// starts the program once with the folder answering and once stalled.
int ShareStallCommand(const std::wstring& folder, const std::wstring& mountFolder,
                      const std::wstring& unc, const std::wstring& control, int nRounds,
                      DWORD dwWaitMs)
{
    const StallControl stall(control, LastComponent(mountFolder));
    RemoveTree(folder);
    RemoveTree(mountFolder);
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring exe = bin + L"\\QVSCliUpdate.exe";
    MakeSeenInstallation(folder + L"\\inst", mountFolder, unc);

    std::vector<Observation> observations;
    std::vector<Candidate> candidates;
    candidates.push_back({L"answering",
                          [&] { return TimeToClient(bin, Quoted(exe)); },
                          [&stall] { stall.Lift(); },
                          {}});
    candidates.push_back({L"stalled",
                          [&]
                          {
                              Observation seen;
                              const double ms = TimeStalledStart(bin, exe, stall, dwWaitMs, seen);
                              observations.push_back(seen);
                              return ms;
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
    PrintTimes(candidates);
    std::wprintf(L"\tended=%.1f\tunix_ended=%.1f\tafter_lift=%.1f\tlingered=%u\tlingering=%ls\n",
                 Median(ended), Median(unixEnded), Median(afterLift), nLingered,
                 lingering.empty() ? L"-" : lingering.c_str());
    return 0;
}
} // namespace qvsbench
