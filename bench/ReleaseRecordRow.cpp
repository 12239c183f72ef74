// Row 8 of bench/run: the forced run that copies 200 files of 1 MB from the plain
// share, with the release record (each copy checked) and without it (the record
// moved aside, the same program and release otherwise), and xcopy /D of the same
// release, over make-verify's installation.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <cstdio>

namespace qvsbench
{
int VerifyRunCommand(const std::wstring& folder, int nRounds,
                     const std::vector<std::wstring>& extra)
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
    const auto reset = [&]
    {
        ResetVerify(folder);
        restore();
    };
    restore();
    // The run's log says whether it checked its copies: "... were not verified ..."
    const auto run = [&](bool bVerified, const std::wstring& program = L"QVSCliUpdate.exe")
    {
        const double ms = TimeToClient(bin, Quoted(bin + L"\\" + program) + L" /force");
        const wchar_t* who = bVerified ? L"the run with the record" : L"the run without it";
        CheckVerify(folder, who);
        const bool bSaysUnchecked =
            ReadFileFrom(bin + L"\\QVSCliUpdate.log").find("not verified") != std::string::npos;
        if (bSaysUnchecked == bVerified)
        {
            Fail(std::wstring(who) + (bVerified ? L" did not check its copies" : L" checked them"));
        }
        return ms;
    };
    std::vector<Candidate> candidates;
    candidates.push_back({L"verified", [&run] { return run(true); }, reset, {}});
    // Variants to compare with, by program name in the installation's bin folder.
    for (const std::wstring& program : extra)
    {
        candidates.push_back({program.c_str(), [&run, program] { return run(true, program); }, reset, {}});
    }
    candidates.push_back(
        {L"unverified",
         [&run] { return run(false); },
         [&]
         {
             reset();
             if (!MoveFileExW(record.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING))
             {
                 Fail(L"cannot move the record aside");
             }
         },
         {}});
    candidates.push_back({L"xcopy",
                          [&]
                          {
                              const double ms = TimeXcopy(folder);
                              CheckVerify(folder, L"xcopy");
                              return ms;
                          },
                          reset,
                          {}});
    RunRounds(candidates, nRounds);
    restore();
    ResetVerify(folder);
    std::wprintf(L"RESULT\tverifyrun\tfiles=%u\tbytes=%zu\trounds=%d", kVerifyFiles, kVerifySize,
                 nRounds);
    PrintTimesAndEnd(candidates);
    return 0;
}
} // namespace qvsbench
