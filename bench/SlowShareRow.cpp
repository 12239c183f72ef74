// Row 7 of bench/run: the start with nothing to update and the forced run from a
// release on the plain share and from the same release on the stalling share at 0,
// 1 and 30 ms a share operation.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <cstdio>
#include <iterator>

namespace qvsbench
{
namespace
{
const unsigned kLatenciesMs[] = {0, 1, 30};
const wchar_t* const kLatencyKeys[] = {L"fuse0", L"fuse1", L"fuse30"};
} // namespace

// <folder>\share holds an installation and its release on the plain share,
// <folder>\fuse an installation of the release at <fuse release> (a folder of the
// stalling share's mount, reached as <fuse unc>). Each installation has seen its
// release.
int ShareStartCommand(const std::wstring& folder, const std::wstring& fuseRelease,
                      const std::wstring& fuseUnc, const std::wstring& control, int nRounds)
{
    const StallControl stall(control, LastComponent(fuseRelease));
    RemoveTree(folder);
    RemoveTree(fuseRelease);
    const std::wstring shareInst = folder + L"\\share\\inst";
    const std::wstring fuseInst = folder + L"\\fuse\\inst";
    MakeSeenInstallation(shareInst, folder + L"\\share\\release");
    MakeSeenInstallation(fuseInst, fuseRelease, fuseUnc);
    const std::wstring shareBin = shareInst + L"\\bin";
    const std::wstring fuseBin = fuseInst + L"\\bin";

    std::vector<Candidate> candidates;
    candidates.push_back(
        {L"share",
         [&shareBin] { return TimeToClient(shareBin, Quoted(shareBin + L"\\QVSCliUpdate.exe")); },
         {},
         {}});
    for (size_t l = 0; l < std::size(kLatenciesMs); ++l)
    {
        candidates.push_back(
            {kLatencyKeys[l],
             [&fuseBin] { return TimeToClient(fuseBin, Quoted(fuseBin + L"\\QVSCliUpdate.exe")); },
             [&stall, l] { stall.SetLatency(kLatenciesMs[l]); },
             {}});
    }
    RunRounds(candidates, nRounds);
    stall.SetLatency(0);
    // Nothing was updated: no run wrote a client list.
    for (const std::wstring& root : {shareInst, fuseInst})
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
    const std::wstring program = Quoted(bin + L"\\QVSCliUpdate.exe") + L" /force";
    const auto run = [&](const wchar_t* who)
    {
        const double ms = TimeToClient(bin, program);
        CheckUpdated(folder, nFiles, std::wstring(who) + L": the run");
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
} // namespace qvsbench
