// Row 5 of bench/run: the peak memory of QVSCliUpdate.exe /force over a run's
// installation, polled from outside, with the same program's start with nothing to
// update.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>

namespace qvsbench
{
namespace
{
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
} // namespace

int MemoryCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& startFolder)
{
    ResetRun(folder, nFiles);
    const std::wstring bin = folder + L"\\inst\\bin";
    const MemoryPeak run = Poll(Quoted(bin + L"\\QVSCliUpdate.exe") + L" /force", bin);
    const unsigned nLeft = CountNotUpdated(folder, nFiles);
    ResetRun(folder, nFiles);
    const std::wstring startBin = startFolder + L"\\inst\\bin";
    const MemoryPeak idle = Poll(Quoted(startBin + L"\\QVSCliUpdate.exe"), startBin);
    std::wprintf(L"RESULT\tmemory\tfiles=%u\tworkingset=%.1f\tpagefile=%.1f\tprivate=%.1f"
                 L"\tclient_ms=%.1f\tidle_workingset=%.1f\tidle_pagefile=%.1f\tidle_private=%.1f"
                 L"\n",
                 nFiles, run.workingSetMb, run.pagefileMb, run.privateMb, run.clientMs,
                 idle.workingSetMb, idle.pagefileMb, idle.privateMb);
    return nLeft == 0 ? 0 : 3;
}
} // namespace qvsbench
