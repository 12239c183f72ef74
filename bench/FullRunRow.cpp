// Row 4 of bench/run: QVSCliUpdate.exe /force, to the client's start, against this
// program's walk-copy (the walk and the copy alone, in a process of their own) and
// against xcopy /E /D /Y /I, each from the same state.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"

#include <cstdio>

namespace qvsbench
{
int FullRunCommand(const std::wstring& folder, unsigned nFiles, int nRounds,
                   const std::vector<std::wstring>& extra)
{
    const std::wstring bin = folder + L"\\inst\\bin";
    const auto reset = [&folder, nFiles] { ResetRun(folder, nFiles); };
    std::vector<Candidate> candidates;
    const auto forced = [&](const std::wstring& program)
    {
        return [&, program]
        {
            const double ms = TimeToClient(bin, Quoted(bin + L"\\" + program) + L" /force");
            CheckUpdated(folder, nFiles, program);
            return ms;
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
                              const double ms =
                                  TimeToEnd(Quoted(ExeFolder() + L"QVSBench.exe") + L" walk-copy " +
                                                Quoted(folder) + L" " + std::to_wstring(nFiles),
                                            bin, false, L"walk-copy");
                              CheckUpdated(folder, nFiles, L"walk-copy");
                              return ms;
                          },
                          reset,
                          {}});
    candidates.push_back({L"xcopy",
                          [&]
                          {
                              const double ms = TimeXcopy(folder);
                              CheckUpdated(folder, nFiles, L"xcopy");
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

// The baseline's child: SCFileIterator::Walk of the installation (client form, no
// callback, no popup) and CopyFiles of the run's plan (no callback, no window, no
// record), nothing else.
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
        plan.push_back(PlanEntry(releaseUnc + L"\\" + file.relativeFolder + L"\\", file.name,
                                 inst + L"\\" + file.relativeFolder + L"\\"));
    }
    const BOOL bCopied = SCFileIterator::CopyFiles(&plan, nullptr, nullptr);
    Progress(L"walk-copy: walk " + std::to_wstring(static_cast<int>(Ms(t1 - t0))) + L" ms, copy " +
             std::to_wstring(static_cast<int>(Ms(Now() - t1))) + L" ms");
    ClearList(FileListKind::Client);
    return bCopied ? 0 : 1;
}
} // namespace qvsbench
