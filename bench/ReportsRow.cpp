// Row 11 of bench/run (and bench/run-reports): QVSMakeList.exe --report over the
// desktop reports of a folder (bench/make-reports.py), reached as \\COMPUTER\...,
// as the clients write them, against the same program's --help (its process start
// and end, the floor).

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <cstdio>

namespace qvsbench
{
int ReportsCommand(const std::wstring& folder, unsigned nReports, int nRounds)
{
    const std::wstring program = Quoted(ExeFolder() + L"QVSMakeList.exe");
    const std::wstring page = folder + L"\\report.html";
    const std::wstring unc = UncOf(folder);
    std::vector<Candidate> candidates;
    candidates.push_back({L"summary",
                          [&]
                          {
                              const double ms =
                                  TimeToEnd(program + L" --report " + Quoted(unc), std::wstring(),
                                            true, L"QVSMakeList --report");
                              // The page holds one row for each desktop: every report was read.
                              const std::string html = ReadFileFrom(page);
                              size_t nRows = 0;
                              for (size_t at = html.find("<tr class="); at != std::string::npos;
                                   at = html.find("<tr class=", at + 1))
                              {
                                  ++nRows;
                              }
                              if (nRows != nReports)
                              {
                                  Fail(L"report.html shows " + std::to_wstring(nRows) +
                                       L" rows for " + std::to_wstring(nReports) + L" reports");
                              }
                              return ms;
                          },
                          [&page] { DeleteFileW(page.c_str()); },
                          {}});
    candidates.push_back(
        {L"floor",
         [&program] { return TimeToEnd(program + L" --help", std::wstring(), true, L"--help"); },
         {},
         {}});
    RunRounds(candidates, nRounds);
    std::wprintf(L"RESULT\treports\treports=%u\trounds=%d", nReports, nRounds);
    PrintTimesAndEnd(candidates);
    return 0;
}
} // namespace qvsbench
