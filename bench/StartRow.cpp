// Row 1 of bench/run: the start with nothing to update, to the client's start,
// against the client started directly and the floors of one extra process
// (BareLauncher.exe, DialogLauncher.exe).

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <cstdio>

namespace qvsbench
{
int StartCommand(const std::wstring& folder, int nRounds, const std::vector<std::wstring>& extra)
{
    const std::wstring bin = folder + L"\\inst\\bin";
    const auto timed = [&bin](const std::wstring& program)
    {
        return [&bin, program]
        {
            const double ms = TimeToClient(bin, Quoted(bin + L"\\" + program));
            // Whatever the start left behind settles before the next one.
            Sleep(100);
            return ms;
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
} // namespace qvsbench
