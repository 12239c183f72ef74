// Rows 12 to 14 of bench/run: files built from their installed versions' blocks,
// against the same runs copying them whole, through the stalling share at a line's
// speed, which counts the bytes it serves. make-delta writes the cases; delta-run
// times one; delta-bytes weighs block sizes on a pair of files (what an index costs,
// what the share would serve, how long indexing and the scan take).
//
// Each case is an installation <folder>\<case>\inst whose planned files' installed
// versions are kept in <folder>\<case>\installed (written back before each run),
// and a release in the stalling share's backing folder <backing>\<case>, reached
// through its mount as <mount>\<case>:
//   changed   a 64 MB data file with 1 % changed in 64 scattered places of 10 KB
//   inserted  the same with 1 MB inserted near its start
//   module    a recompiled program: two builds of one of our own (bench/make-module-pair)
//   release   200 files of 1 MB, 20 of them changed in three places of 4 KB

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"
#include "lib/BlockIndex.h"
#include "lib/BlockMatch.h"

#include <cstdio>
#include <cstring>

namespace qvsbench
{
namespace
{
constexpr unsigned kReleaseFiles = 200;
constexpr unsigned kReleaseChanged = 20;
constexpr size_t kReleaseFileSize = 1u << 20;

std::string ReadAll(const std::wstring& path)
{
    return ReadFileFrom(path, 0);
}

void WriteAll(const std::wstring& path, const std::string& bytes, const FILETIME& ftWrite)
{
    MakeDirs(path.substr(0, path.rfind(L'\\')));
    WriteBytes(path, bytes.data(), bytes.size(), &ftWrite);
}

FILETIME InstalledTime()
{
    return TreeFileTime(0);
}

std::string Noise(size_t nBytes, unsigned nSeed)
{
    const std::vector<char> noise = NoiseBytes(nBytes, nSeed);
    return std::string(noise.begin(), noise.end());
}

// nPlaces stretches of nPlaceBytes other bytes, one in each part of the file, at no
// block boundary.
std::string ChangedInPlaces(std::string bytes, unsigned nPlaces, size_t nPlaceBytes, unsigned nSeed)
{
    const std::string noise = Noise(nPlaces * nPlaceBytes, nSeed);
    const size_t nStride = bytes.size() / nPlaces;
    for (unsigned k = 0; k < nPlaces; ++k)
    {
        const size_t nAt = k * nStride + (k * 7919u * 13u + 4093u) % (nStride - nPlaceBytes);
        bytes.replace(nAt, nPlaceBytes, noise, k * nPlaceBytes, nPlaceBytes);
    }
    return bytes;
}

// A planned file: its installed version in <case>\installed and in the installation,
// its new one in the release.
void PutPlanned(const std::wstring& caseFolder, const std::wstring& release,
                const std::wstring& relative, const std::string& installed,
                const std::string& released)
{
    WriteAll(caseFolder + L"\\installed\\" + relative, installed, InstalledTime());
    WriteAll(caseFolder + L"\\inst\\" + relative, installed, InstalledTime());
    WriteAll(release + L"\\" + relative, released, ReleaseTime());
}

// Every file below folder, relative to it.
void Files(const std::wstring& folder, const std::wstring& relative,
           std::vector<std::wstring>& files)
{
    ForEachEntry(folder + (relative.empty() ? L"" : L"\\" + relative),
                 [&](const WIN32_FIND_DATAW& fd)
                 {
                     const std::wstring child =
                         relative.empty() ? fd.cFileName : relative + L"\\" + fd.cFileName;
                     if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                     {
                         Files(folder, child, files);
                     }
                     else
                     {
                         files.push_back(child);
                     }
                     return true;
                 });
}

std::wstring ServedPath(const std::wstring& control, const std::wstring& name)
{
    return control + L"\\" + name + L".served";
}
} // namespace

int MakeDeltaCommand(const std::wstring& folder, const std::wstring& backing,
                     const std::wstring& mount, const std::wstring& moduleOld,
                     const std::wstring& moduleNew)
{
    const std::string installed = Noise(kDeltaDataSize, 12);
    const std::string changed = ChangedInPlaces(installed, 64, 10 * 1024, 13);
    std::string inserted = changed;
    inserted.insert(1234567, Noise(1u << 20, 14));
    const struct
    {
        const wchar_t* name;
        std::function<void(const std::wstring&, const std::wstring&)> put;
    } cases[] = {
        {L"changed", [&](const std::wstring& c, const std::wstring& r)
         { PutPlanned(c, r, L"data\\big.dat", installed, changed); }},
        {L"inserted", [&](const std::wstring& c, const std::wstring& r)
         { PutPlanned(c, r, L"data\\big.dat", installed, inserted); }},
        {L"module", [&](const std::wstring& c, const std::wstring& r)
         { PutPlanned(c, r, L"tools\\QVSBench.exe", ReadAll(moduleOld), ReadAll(moduleNew)); }},
        {L"release",
         [&](const std::wstring& c, const std::wstring& r)
         {
             for (unsigned i = 0; i < kReleaseFiles; ++i)
             {
                 const std::wstring relative = L"data\\" + VerifyFileName(i);
                 const std::string bytes = Noise(kReleaseFileSize, 100 + i);
                 if (i % (kReleaseFiles / kReleaseChanged) == 0)
                 {
                     PutPlanned(c, r, relative, bytes, ChangedInPlaces(bytes, 3, 4096, 1000 + i));
                 }
                 else
                 {
                     WriteAll(c + L"\\inst\\" + relative, bytes, InstalledTime());
                     WriteAll(r + L"\\" + relative, bytes, InstalledTime());
                 }
             }
         }},
    };
    for (const auto& c : cases)
    {
        Progress(std::wstring(L"delta case ") + c.name);
        const std::wstring caseFolder = folder + L"\\" + c.name;
        const std::wstring release = backing + L"\\" + c.name;
        RemoveTree(caseFolder);
        RemoveTree(release);
        InstallPrograms(caseFolder + L"\\inst\\bin", release, UncOf(mount + L"\\" + c.name));
        c.put(caseFolder, release);
        Publish(mount + L"\\" + c.name);
    }
    return 0;
}

int DeltaRunCommand(const std::wstring& folder, const std::wstring& backing,
                    const std::wstring& mount, const std::wstring& control,
                    const std::wstring& name, int nRounds, unsigned nRate)
{
    const std::wstring caseFolder = folder + L"\\" + name;
    const std::wstring inst = caseFolder + L"\\inst";
    const std::wstring release = backing + L"\\" + name;
    const std::wstring indexes = release + L"\\" + kBlockIndexFolder;
    std::vector<std::wstring> planned;
    Files(caseFolder + L"\\installed", L"", planned);
    ULONGLONG nPlannedBytes = 0;
    for (const std::wstring& file : planned)
    {
        nPlannedBytes += ReadAll(release + L"\\" + file).size();
    }
    const StallControl line(control, name);
    WriteText(control + L"\\" + name + L".rate", std::to_string(nRate));
    std::vector<ULONGLONG> served[2];
    const auto reset = [&]
    {
        for (const std::wstring& file : planned)
        {
            const std::wstring target = inst + L"\\" + file;
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!CopyFileW((caseFolder + L"\\installed\\" + file).c_str(), target.c_str(), FALSE))
            {
                Fail(L"cannot put back " + target);
            }
        }
        ForgetRuns(inst, release, UncOf(mount + L"\\" + name));
        DeleteFileW(ServedPath(control, name).c_str());
        WriteText(control + L"\\" + name + L".count", "");
    };
    const auto run = [&](size_t nWhich, const wchar_t* what)
    {
        const double ms =
            TimeToClient(inst + L"\\bin", Quoted(inst + L"\\bin\\QVSCliUpdate.exe") + L" /force");
        const std::string count = ReadFileFrom(ServedPath(control, name));
        served[nWhich].push_back(count.empty() ? 0 : std::stoull(count));
        for (const std::wstring& file : planned)
        {
            if (ReadAll(inst + L"\\" + file) != ReadAll(release + L"\\" + file))
            {
                Fail(std::wstring(what) + L" left " + file + L" as it was");
            }
        }
        return ms;
    };
    std::vector<Candidate> candidates;
    candidates.push_back(
        {L"delta", [&] { return run(0, L"the copy built from blocks"); }, reset, {}, false});
    candidates.push_back({L"whole",
                          [&]
                          {
                              // The indexes aside: every file is copied whole.
                              MoveFileW(indexes.c_str(), (indexes + L"-aside").c_str());
                              const double ms = run(1, L"the whole copy");
                              MoveFileW((indexes + L"-aside").c_str(), indexes.c_str());
                              return ms;
                          },
                          reset,
                          {},
                          false});
    RunRounds(candidates, nRounds);
    reset();
    DeleteFileW((control + L"\\" + name + L".rate").c_str());
    DeleteFileW((control + L"\\" + name + L".count").c_str());
    std::wprintf(
        L"RESULT\tdelta-%ls\trounds=%d\trate=%u\tsize=%llu\tdelta_read=%llu\twhole_read=%llu",
        name.c_str(), nRounds, nRate, nPlannedBytes, served[0].empty() ? 0ull : served[0].back(),
        served[1].empty() ? 0ull : served[1].back());
    PrintTimesAndEnd(candidates);
    return 0;
}

int DeltaBytesCommand(const std::wstring& installed, const std::wstring& release,
                      const std::vector<DWORD>& blockSizes)
{
    const std::string oldBytes = ReadAll(installed);
    const std::string newBytes = ReadAll(release);
    SCSha256::Digest digest{};
    SCSha256::HashBytes(newBytes.data(), newBytes.size(), digest);
    for (const DWORD nBlock : blockSizes)
    {
        const LONGLONG t0 = Now();
        SCBlockIndex index;
        size_t nAt = 0;
        const DWORD dwBuilt = index.Build(
            [&](BYTE* p, DWORD nWant, DWORD& nRead, DWORD&)
            {
                nRead = static_cast<DWORD>(std::min<size_t>(nWant, newBytes.size() - nAt));
                std::memcpy(p, newBytes.data() + nAt, nRead);
                nAt += nRead;
                return true;
            },
            newBytes.size(), digest, nBlock);
        const LONGLONG t1 = Now();
        if (dwBuilt != ERROR_SUCCESS)
        {
            Fail(L"cannot index " + release);
        }
        const size_t nIndex = index.Format().size();
        SCBlockMatch match(index);
        match.Scan(
            [&](ULONGLONG nOffset, BYTE* p, DWORD n, DWORD& nRead, DWORD&)
            {
                nRead = nOffset >= oldBytes.size()
                            ? 0
                            : static_cast<DWORD>(std::min<ULONGLONG>(n, oldBytes.size() - nOffset));
                std::memcpy(p, oldBytes.data() + nOffset, nRead);
                return true;
            },
            oldBytes.size(), [] {});
        const LONGLONG t2 = Now();
        const ULONGLONG nMissing = newBytes.size() - match.FoundBytes();
        std::wprintf(L"RESULT\tdelta-bytes\tblock=%lu\tsize=%zu\tindex=%zu\tmissing=%llu\tread=%llu"
                     L"\tpercent=%.2f\tbuild_ms=%.0f\tscan_ms=%.0f\n",
                     nBlock, newBytes.size(), nIndex, nMissing, nMissing + nIndex,
                     100.0 * static_cast<double>(nMissing + nIndex) /
                         static_cast<double>(newBytes.size()),
                     Ms(t1 - t0), Ms(t2 - t1));
    }
    return 0;
}
} // namespace qvsbench
