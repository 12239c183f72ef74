// Block indexes: written and read back, anything else refused; the record's index
// lines read as files of no list and fall under the signature; the scan finds a
// block wherever the installed file holds its bytes, and nothing it does not.
#include "lib/BlockIndex.h"
#include "lib/BlockMatch.h"
#include "tests/unit/SignedRecords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

using namespace signedrecords;

namespace
{
constexpr DWORD kBlock = 4096;

std::string Noise(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
    {
        c = static_cast<char>(rng() & 0xFF);
    }
    return bytes;
}

SCBlockIndex IndexOf(const std::string& bytes, DWORD nBlock = kBlock)
{
    SCBlockIndex index;
    size_t nAt = 0;
    EXPECT_EQ(
        static_cast<DWORD>(ERROR_SUCCESS),
        index.Build(
            [&](BYTE* p, DWORD nWant, DWORD& nRead, DWORD&)
            {
                // Uneven pieces, as a share may give them.
                nRead = static_cast<DWORD>(std::min<size_t>({nWant, bytes.size() - nAt, 70001}));
                std::memcpy(p, bytes.data() + nAt, nRead);
                nAt += nRead;
                return true;
            },
            bytes.size(), DigestOf(bytes), nBlock));
    return index;
}

// The blocks of release that the scan of installed finds.
SCBlockMatch Scan(const SCBlockIndex& index, const std::string& installed)
{
    SCBlockMatch match(index);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              match.Scan(
                  [&](ULONGLONG nOffset, BYTE* p, DWORD n, DWORD& nRead, DWORD&)
                  {
                      nRead = nOffset >= installed.size() ? 0
                                                          : static_cast<DWORD>(std::min<ULONGLONG>(
                                                                n, installed.size() - nOffset));
                      std::memcpy(p, installed.data() + nOffset, nRead);
                      return true;
                  },
                  installed.size(), [] {}));
    return match;
}
} // namespace

TEST(BlockIndex, WhatIsWrittenReadsBackAndAnythingElseIsNoIndex)
{
    const std::string file = Noise(3 * kBlock + 100, 1);
    const SCBlockIndex index = IndexOf(file);
    const std::string bytes = index.Format();
    ASSERT_EQ(SCBlockIndex::IndexBytes(file.size(), kBlock), bytes.size());
    SCBlockIndex read;
    ASSERT_TRUE(read.Parse(bytes));
    EXPECT_EQ(kBlock, read.BlockSize());
    EXPECT_EQ(file.size(), read.FileSize());
    EXPECT_EQ(DigestOf(file), read.FileDigest());
    ASSERT_EQ(4u, read.Blocks().size());
    EXPECT_EQ(100u, read.BlockLength(3));
    EXPECT_EQ(bytes, read.Format());
    // A file that holds other bytes than its record says is not indexed.
    SCBlockIndex wrong;
    size_t nAt = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_INVALID),
              wrong.Build(
                  [&](BYTE* p, DWORD n, DWORD& nRead, DWORD&)
                  {
                      nRead = static_cast<DWORD>(std::min<size_t>(n, file.size() - nAt));
                      std::memcpy(p, file.data() + nAt, nRead);
                      nAt += nRead;
                      return true;
                  },
                  file.size() - 1, DigestOf(file), kBlock));
    const std::function<void(std::string&)> damages[] = {
        [](std::string& b) { b[0] = 'X'; },   // another magic
        [](std::string& b) { b[8] = 2; },     // another format
        [](std::string& b) { b[13] = 0x11; }, // a block size that is no power of two
        [](std::string& b)
        {
            b[12] = 0;
            b[13] = 2;
        },                                                  // 512 bytes: too small
        [](std::string& b) { b.pop_back(); },               // an entry cut short
        [](std::string& b) { b += std::string(20, '\0'); }, // an entry too many
        [](std::string& b) { b[23] = '\x7F'; },             // a size the entries do not hold
        [](std::string& b) { b.resize(40); },
    };
    for (size_t n = 0; n < std::size(damages); ++n)
    {
        std::string damaged = bytes;
        damages[n](damaged);
        EXPECT_FALSE(read.Parse(damaged)) << "damage " << n;
        EXPECT_TRUE(read.Blocks().empty());
    }
    // At most 16,384 blocks a file, 2 KB at least.
    EXPECT_EQ(2048u, SCBlockIndex::BlockSizeFor(1u << 20));
    EXPECT_EQ(2048u, SCBlockIndex::BlockSizeFor(32u << 20));
    EXPECT_EQ(4096u, SCBlockIndex::BlockSizeFor((32u << 20) + 2048));
    EXPECT_EQ(1u << 20, SCBlockIndex::BlockSizeFor(1ull << 40));
}

TEST(BlockIndex, TheRecordsIndexLinesReadAsFilesOfNoListAndTheSignatureCoversThem)
{
    // As QVSMakeList writes it: the files, the index lines, then the signed block.
    const std::string list = ListBytes();
    const SCSha256::Digest fileDigest = DigestOf("a large file");
    SCReleaseRecord::Item line;
    line.nSize = 1234;
    line.digest = DigestOf("its index");
    const std::wstring text =
        RecordText(list) + SCReleaseRecord::FormatLine(std::wstring(kBlockIndexRecordFolder),
                                                       SCSha256::ToHex(fileDigest), line);
    const std::string signedBytes = qvstest::Utf16Bytes(SignedText(text, 0, 5));
    SCReleaseRecord record;
    ASSERT_TRUE(record.Parse(signedBytes));
    EXPECT_TRUE(record.IsSignedBy(Key(0).GetPublicKey()));
    EXPECT_EQ(kNames.size() + 1, record.GetCount());
    const SCReleaseRecord::Item* pIndex = SCFindBlockIndex(record, fileDigest);
    ASSERT_NE(nullptr, pIndex);
    EXPECT_EQ(1234u, pIndex->nSize);
    EXPECT_EQ(line.digest, pIndex->digest);
    EXPECT_EQ(nullptr, SCFindBlockIndex(record, DigestOf("another file")));
    // The index's size in its line changed: the record is no longer the administrator's.
    std::string changed = signedBytes;
    const std::string size = qvstest::Utf16Bytes(L"\t\t1234\t\t");
    changed.replace(changed.find(size), size.size(), qvstest::Utf16Bytes(L"\t\t1235\t\t"));
    ASSERT_TRUE(record.Parse(changed));
    EXPECT_FALSE(record.IsSignedBy(Key(0).GetPublicKey()));
    // After the signed block it is no record at all.
    EXPECT_FALSE(record.Parse(
        qvstest::Utf16Bytes(SignedText(RecordText(list), 0, 5) +
                            SCReleaseRecord::FormatLine(std::wstring(kBlockIndexRecordFolder),
                                                        SCSha256::ToHex(fileDigest), line))));
}

TEST(BlockMatch, EveryBlockTheInstalledFileHoldsIsFoundWhereItHoldsIt)
{
    const std::string release = Noise(96 * kBlock + 1234, 2);
    const std::string other = Noise(release.size(), 3);
    const auto changed = [&](size_t nAt, size_t n)
    {
        std::string b = release;
        b.replace(nAt, n, other.substr(nAt, n));
        return b;
    };
    const struct
    {
        const char* what;
        std::string installed;
        size_t nMissing; // at most this many blocks are not found
        size_t nFound;   // at least this many are
    } cases[] = {
        {"the same", release, 0, 97},
        {"changed in one place", changed(5000, 100), 1, 96},
        {"with 10 KB changed in place", changed(40000, 10240), 4, 93},
        {"the release appended to it", release.substr(0, 80 * kBlock + 7), 17, 80},
        {"bytes inserted in the release", release.substr(0, 50000) + release.substr(53333), 2, 95},
        {"bytes inserted in it",
         release.substr(0, 50000) + other.substr(0, 777) + release.substr(50000), 1, 96},
        {"shifted by junk at its start", other.substr(0, 333) + release, 0, 97},
        {"the release's blocks in another order",
         release.substr(48 * kBlock) + release.substr(0, 48 * kBlock), 1, 96},
        {"foreign", other, 97, 0},
        {"empty", "", 97, 0},
    };
    const SCBlockIndex index = IndexOf(release);
    for (const auto& c : cases)
    {
        const SCBlockMatch match = Scan(index, c.installed);
        size_t nFound = 0;
        for (size_t n = 0; n < match.Found().size(); ++n)
        {
            const ULONGLONG nAt = match.Found()[n];
            if (nAt == SCBlockMatch::kNotFound)
            {
                continue;
            }
            ++nFound;
            // Exactly the block's bytes, at the offset given.
            ASSERT_LE(nAt + index.BlockLength(n), c.installed.size()) << c.what << " block " << n;
            EXPECT_TRUE(
                release.substr(static_cast<size_t>(index.BlockOffset(n)), index.BlockLength(n)) ==
                c.installed.substr(static_cast<size_t>(nAt), index.BlockLength(n)))
                << c.what << ": block " << n << " is not at " << nAt;
        }
        EXPECT_GE(nFound, c.nFound) << c.what;
        EXPECT_GE(nFound + c.nMissing, match.Found().size()) << c.what;
    }
}
