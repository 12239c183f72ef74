// Row 10 of bench/run: a forced run whose release share stops answering in the
// middle of a large file's copy, from the stall to the client's start, with
// ReleaseFolderStallSeconds at its default (20) and at 5; whether the program then
// ended by itself, as Windows sees it and as Wine's Unix process does; against the
// same run with the share answering, from the same moment. Over make-stall-deadline's
// installation and its release on the stalling share.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"
#include "lib/CopyLeftover.h"
#include "lib/FileIterator.h"

#include <cstdio>

namespace qvsbench
{
namespace
{
// The temporary copy of big.bin in the installation's big\ folder; empty when none.
std::wstring BigCopy(const std::wstring& inst)
{
    std::wstring found;
    ForEachEntry(inst + L"\\big",
                 [&](const WIN32_FIND_DATAW& fd)
                 {
                     if (SCIsLeftoverName(fd.cFileName))
                     {
                         found = inst + L"\\big\\" + fd.cFileName;
                     }
                     return found.empty();
                 });
    return found;
}

// -1 when the file is not there.
long long SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    {
        return -1;
    }
    return static_cast<long long>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) |
                                  data.nFileSizeLow);
}

// The line of QVS.ini's key, "" when it has none.
std::string IniValue(const std::wstring& bin, const std::string& key)
{
    const std::string ini = ReadFileFrom(bin + L"\\QVS.ini");
    const size_t at = ini.find("\r\n" + key + "=");
    if (at == std::string::npos)
    {
        return {};
    }
    const size_t from = at + key.size() + 3;
    return ini.substr(from, ini.find("\r\n", from) - from);
}

// What one stalled run showed besides the client's start.
struct Observation
{
    double msEnded = -1;     // the Windows process's end after the client's start; -1: not seen
    double msUnixEnded = -1; // the Unix process's end after the client's start; -1: not seen
    std::wstring lingering;  // the Unix threads' states while the share was still stopped
};

class StallRun
{
public:
    StallRun(const std::wstring& folder, const std::wstring& fuseRelease,
             const std::wstring& control)
        : m_folder(folder), m_inst(folder + L"\\inst"), m_bin(m_inst + L"\\bin"),
          m_exe(m_bin + L"\\QVSCliUpdate.exe"), m_unc(UncOf(fuseRelease)),
          m_stall(control, LastComponent(fuseRelease))
    {
    }

    // The installation as make-stall-deadline left it, with the deadline given (0:
    // the key missing, its default), and the share answering.
    void Reset(unsigned nDeadline) const
    {
        m_stall.Lift();
        for (const wchar_t* sub : {L"\\big", L"\\data"})
        {
            ForEachEntry(m_inst + sub,
                         [&](const WIN32_FIND_DATAW& fd)
                         {
                             if (SCIsLeftoverName(fd.cFileName))
                             {
                                 DeleteFileW((m_inst + sub + L"\\" + fd.cFileName).c_str());
                             }
                             return true;
                         });
        }
        WriteStallRunFiles(m_inst, false);
        ForgetRuns(m_inst, m_folder + L"\\release", m_unc);
        if (nDeadline != 0)
        {
            WriteIniSource(m_bin, m_unc,
                           L"ReleaseFolderStallSeconds=" + std::to_wstring(nDeadline) + L"\r\n");
        }
    }

    // From the moment big.bin's temporary copy is seen to the client's start, the
    // share answering throughout; every file must then be the release's.
    double Answering() const
    {
        const StartRecord record(m_bin + L"\\QVS.started");
        const size_t nOld = record.Size();
        const Child child = Start(Quoted(m_exe) + L" /force", m_bin);
        const LONGLONG tSeen = WaitForBigCopy(child);
        const double ms = Ms(record.WaitForStart(nOld) - tSeen);
        WaitForExit(child);
        if (!IsReleaseFile(m_inst + L"\\big\\big.bin", kStallBigSize) ||
            IniValue(m_bin, "UpdateSucceeded") != "1")
        {
            Fail(L"the run with the share answering did not install the release");
        }
        return ms;
    }

    // The share stops once big.bin's copy is under way: first only the reads of its
    // bytes, and once the copy is seen waiting in one, everything below the release.
    // From that moment to the client's start; then the program's end is watched for
    // up to dwWaitMs, the stall lifted, and what the run left checked.
    double Stalled(unsigned nDeadline, DWORD dwWaitMs, Observation& seen) const
    {
        const StartRecord record(m_bin + L"\\QVS.started");
        const size_t nOld = record.Size();
        const Child child = Start(Quoted(m_exe) + L" /force", m_bin);
        const std::wstring pid = FindUnixProcess(m_exe);
        WaitForBigCopy(child);
        m_stall.StallReads(L"big.bin");
        const LONGLONG tStall = Now();
        // Waiting in a read: the temporary copy stays short of the whole file.
        Sleep(100);
        const std::wstring copy = BigCopy(m_inst);
        const long long nBefore = SizeOf(copy);
        Sleep(100);
        const long long nAfter = SizeOf(copy);
        if (copy.empty() || nAfter != nBefore || nAfter < 0 ||
            nAfter >= static_cast<long long>(kStallBigSize))
        {
            m_stall.Lift();
            WaitForExit(child);
            Fail(L"the copy of big.bin was not waiting in a read when the share stopped");
        }
        m_stall.Stall();
        const double msClient = Ms(record.WaitForStart(nOld, nDeadline * 1000 + 60000) - tStall);
        const LONGLONG tClient = Now();
        const auto unixGone = [&pid] { return pid.empty() || UnixProcessEnded(pid); };
        while (Ms(Now() - tClient) < dwWaitMs && (seen.msEnded < 0 || seen.msUnixEnded < 0))
        {
            if (seen.msEnded < 0 && WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0)
            {
                seen.msEnded = Ms(Now() - tClient);
            }
            if (seen.msUnixEnded < 0 && !pid.empty() && unixGone())
            {
                seen.msUnixEnded = Ms(Now() - tClient);
            }
            Sleep(5);
        }
        if (!unixGone())
        {
            seen.lingering = UnixThreadStates(pid);
        }
        m_stall.Lift();
        WaitForExit(child);
        const LONGLONG tLift = Now();
        while (!unixGone() && Ms(Now() - tLift) < 60000)
        {
            Sleep(5);
        }
        Check(nDeadline == 0 ? 20 : nDeadline);
        Progress(L"stalled copy, deadline " + std::to_wstring(nDeadline == 0 ? 20 : nDeadline) +
                 L" s: client " + std::to_wstring(static_cast<int>(msClient)) +
                 L" ms after the stall; Windows process ended " +
                 (seen.msEnded < 0 ? L"not"
                                   : std::to_wstring(static_cast<int>(seen.msEnded)) +
                                         L" ms after the client's start") +
                 L", Unix process " +
                 (seen.msUnixEnded < 0 ? L"stayed (" + seen.lingering + L")"
                                       : std::to_wstring(static_cast<int>(seen.msUnixEnded)) +
                                             L" ms after the client's start"));
        return msClient;
    }

private:
    // The moment big.bin's temporary copy appears.
    LONGLONG WaitForBigCopy(const Child& child) const
    {
        const ULONGLONG deadline = GetTickCount64() + 120000;
        while (BigCopy(m_inst).empty())
        {
            if (WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0 ||
                GetTickCount64() > deadline)
            {
                Fail(L"the run did not begin the copy of big.bin");
            }
            Sleep(1);
        }
        return Now();
    }

    // The run failed for the share's stall after nSeconds, and replaced nothing after it.
    void Check(unsigned nSeconds) const
    {
        const std::string reason = IniValue(m_bin, "UpdateFailureReason");
        if (IniValue(m_bin, "UpdateSucceeded") != "0" ||
            reason.find("stopped answering") == std::string::npos ||
            reason.find("no progress for " + std::to_string(nSeconds) + " seconds") ==
                std::string::npos)
        {
            Fail(L"the stalled run did not end for the stall after " + std::to_wstring(nSeconds) +
                 L" s (UpdateFailureReason=" + std::wstring(reason.begin(), reason.end()) + L")");
        }
        if (IsReleaseFile(m_inst + L"\\big\\big.bin"))
        {
            Fail(L"the stalled run installed big.bin");
        }
    }

    std::wstring m_folder;
    std::wstring m_inst;
    std::wstring m_bin;
    std::wstring m_exe;
    std::wstring m_unc;
    StallControl m_stall;
};

constexpr unsigned kDeadlines[] = {0, 5}; // 0: ReleaseFolderStallSeconds missing (20)
constexpr const wchar_t* kKeys[] = {L"stall20", L"stall5"};
} // namespace

int StallDeadlineCommand(const std::wstring& folder, const std::wstring& fuseRelease,
                         const std::wstring& control, int nRounds, DWORD dwWaitMs)
{
    const StallRun run(folder, fuseRelease, control);
    std::vector<Observation> observations[std::size(kDeadlines)];
    std::vector<Candidate> candidates;
    candidates.push_back(
        {L"answering", [&run] { return run.Answering(); }, [&run] { run.Reset(0); }, {}});
    for (size_t d = 0; d < std::size(kDeadlines); ++d)
    {
        candidates.push_back({kKeys[d],
                              [&, d]
                              {
                                  Observation seen;
                                  const double ms = run.Stalled(kDeadlines[d], dwWaitMs, seen);
                                  observations[d].push_back(seen);
                                  return ms;
                              },
                              [&run, d] { run.Reset(kDeadlines[d]); },
                              {},
                              // The default's run takes long: it has no untimed round.
                              kDeadlines[d] != 0});
    }
    RunRounds(candidates, nRounds);
    run.Reset(0);
    std::wprintf(L"RESULT\tstalldeadline\trounds=%d\tbytes=%zu\twait=%lu", nRounds, kStallBigSize,
                 dwWaitMs);
    PrintTimes(candidates);
    for (size_t d = 0; d < std::size(kDeadlines); ++d)
    {
        // The untimed round's observation is left out, as its time is.
        std::vector<Observation>& seen = observations[d];
        if (seen.size() > static_cast<size_t>(nRounds))
        {
            seen.erase(seen.begin());
        }
        unsigned nEnded = 0;
        unsigned nUnixEnded = 0;
        std::vector<double> ended;
        std::wstring lingering = L"-";
        for (const Observation& o : seen)
        {
            if (o.msEnded >= 0)
            {
                ++nEnded;
                ended.push_back(o.msEnded);
            }
            if (o.msUnixEnded >= 0)
            {
                ++nUnixEnded;
            }
            else
            {
                lingering = o.lingering;
            }
        }
        std::wprintf(L"\t%ls_ended=%u\t%ls_ended_ms=%.1f\t%ls_unix_ended=%u\t%ls_lingering=%ls",
                     kKeys[d], nEnded, kKeys[d], ended.empty() ? -1.0 : Median(ended), kKeys[d],
                     nUnixEnded, kKeys[d], lingering.empty() ? L"-" : lingering.c_str());
    }
    std::wprintf(L"\n");
    return 0;
}
} // namespace qvsbench
