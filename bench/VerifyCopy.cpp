// verify-copy: CopyFiles of 200 files of 1 MB from a share over an installation in
// the temporary folder, without and with the release record's check, beside the
// floor of the check (SHA-256 of the same bytes in memory) and the reading back of
// the copies without hashing.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"
#include "lib/ReleaseRecord.h"

#include <cstdio>

namespace qvsbench
{
int VerifyCopyCommand(const std::wstring& share, const std::wstring& shareUnc, int nRounds)
{
    const std::wstring release = share + L"\\verify-release\\bin";
    const std::wstring releaseUnc = shareUnc + L"\\verify-release\\bin\\";
    wchar_t szTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring inst =
        std::wstring(szTemp) + L"QVSBench-verify-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring bin = inst + L"\\bin\\";
    MakeDirs(release);
    MakeDirs(inst + L"\\bin");
    SetAppFolderForTesting(bin);

    // The release's files, each its own bytes, and the record of them.
    std::wstring strRecord = SCReleaseRecord::FormatFirstLine(SCSha256::Digest{});
    for (unsigned i = 0; i < kVerifyFiles; ++i)
    {
        const std::vector<char> bytes = NoiseBytes(kVerifySize, i);
        WriteBytes(release + L"\\" + VerifyFileName(i), bytes.data(), bytes.size());
        SCReleaseRecord::Item item;
        item.nSize = kVerifySize;
        SCSha256::HashBytes(bytes.data(), bytes.size(), item.digest);
        strRecord += SCReleaseRecord::FormatLine(releaseUnc, VerifyFileName(i), item);
    }
    SCReleaseRecord record;
    if (!record.Parse(std::string_view(reinterpret_cast<const char*>(strRecord.data()),
                                       strRecord.size() * sizeof(wchar_t))))
    {
        Fail(L"the record does not parse");
    }

    const auto run = [&](const SCReleaseRecord* pRecord)
    {
        FileList plan;
        for (unsigned i = 0; i < kVerifyFiles; ++i)
        {
            WriteText(bin + VerifyFileName(i), "an older version");
            plan.push_back(PlanEntry(releaseUnc, VerifyFileName(i), bin));
        }
        const LONGLONG t0 = Now();
        BOOL bCopied = SCFileIterator::CopyFiles(&plan, nullptr, nullptr, pRecord);
        const double ms = Ms(Now() - t0);
        for (unsigned i = 0; i < kVerifyFiles; ++i)
        {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (!GetFileAttributesExW((bin + VerifyFileName(i)).c_str(), GetFileExInfoStandard,
                                      &data) ||
                data.nFileSizeLow != kVerifySize)
            {
                bCopied = FALSE;
            }
        }
        if (!bCopied)
        {
            Fail(L"verify-copy: a copy failed");
        }
        return ms;
    };
    // The floor of the check: SHA-256 of the same bytes in memory.
    const std::vector<char> bytes = NoiseBytes(kVerifySize, kVerifyFiles - 1);
    const auto hashOnly = [&bytes]
    {
        const LONGLONG t0 = Now();
        for (unsigned i = 0; i < kVerifyFiles; ++i)
        {
            SCSha256::Digest digest{};
            SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
        }
        return Ms(Now() - t0);
    };
    // Reading the installed copies back, as the check does, without hashing.
    const auto readBack = [&]
    {
        std::vector<char> buffer(256 * 1024);
        const LONGLONG t0 = Now();
        for (unsigned i = 0; i < kVerifyFiles; ++i)
        {
            const UniqueFile file(CreateFileW((bin + VerifyFileName(i)).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            DWORD nRead = 0;
            while (ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &nRead,
                            nullptr) &&
                   nRead > 0)
            {
            }
        }
        return Ms(Now() - t0);
    };
    std::vector<double> plain;
    std::vector<double> verified;
    std::vector<double> hashed;
    std::vector<double> reread;
    std::vector<double> ratios;
    run(nullptr);
    run(&record);
    for (int r = 0; r < nRounds; ++r)
    {
        double msPlain = 0;
        double msVerified = 0;
        if (r % 2 == 0)
        {
            msPlain = run(nullptr);
            msVerified = run(&record);
        }
        else
        {
            msVerified = run(&record);
            msPlain = run(nullptr);
        }
        plain.push_back(msPlain);
        verified.push_back(msVerified);
        hashed.push_back(hashOnly());
        reread.push_back(readBack());
        ratios.push_back(msVerified / msPlain);
        Progress(L"verify-copy round " + std::to_wstring(r + 1) + L": without " +
                 std::to_wstring(static_cast<int>(msPlain)) + L" ms, with " +
                 std::to_wstring(static_cast<int>(msVerified)) + L" ms, SHA-256 in memory " +
                 std::to_wstring(static_cast<int>(hashed.back())) + L" ms, read back " +
                 std::to_wstring(static_cast<int>(reread.back())) + L" ms");
    }
    std::wprintf(L"RESULT\tverify-copy\tfiles=%u\tbytes=%zu\trounds=%d\twithout=%.1f\twith=%.1f"
                 L"\tratio=%.3f\thash_in_memory=%.1f\tread_back=%.1f\n",
                 kVerifyFiles, kVerifySize, nRounds, Median(plain), Median(verified),
                 Median(ratios), Median(hashed), Median(reread));
    RemoveTree(inst);
    SetAppFolderForTesting(L"");
    return 0;
}
} // namespace qvsbench
