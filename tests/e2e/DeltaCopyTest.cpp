// A large file that changed since its installed version is built from the blocks that
// version holds, and only the rest is read from the share (which counts what it
// serves); it is installed exactly. Whatever cannot be trusted or does not match (an
// installed file too small or foreign, an index that is not its record's or not its
// file's, a block the share served wrong, a damaged release file) is copied whole or
// refused as before, and the log says why once.
#include "tests/support/Scenario.h"

#include "lib/BlockIndex.h"

#include <functional>
#include <memory>

using namespace qvstest;

namespace
{
const std::wstring kBig = L"data\\big.dat";
const std::wstring kOther = L"data\\other.dat";
constexpr size_t kSize = 6u << 20;

class DeltaCopy : public Scenario
{
protected:
    DeltaCopy() : Scenario(L"inst", L"QVS_STALL_FOLDER") {}

    // The index of a content, below the release's folder.
    static std::wstring IndexOf(const std::string& bytes)
    {
        SCSha256::Digest digest{};
        SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
        return std::wstring(kBlockIndexFolder) + L"\\" + SCBlockIndex::FileName(digest);
    }

    // Publishes big.dat as bytes, a day after the last, and runs the update it brings,
    // the release tampered with (after the test took it as published). What a run
    // that succeeds read (its log's figure) must be what the share served of the
    // file and of its index.
    void Release(const std::string& bytes, const Copy& copy,
                 const std::function<void()>& tamper = {})
    {
        rel.Put(kBig, bytes, T(2026, 2, ++m_day));
        ASSERT_EQ(0u, rel.Publish());
        Take(); // read once, before the count
        if (tamper)
        {
            tamper();
        }
        const ServedBytes served(rel);
        ExpectUpdate({copy});
        m_control.reset();
        if (copy.error == ERROR_SUCCESS)
        {
            EXPECT_EQ(served.Of(kBig) + served.Of(IndexOf(bytes)), bytesRead);
        }
    }

    WORD m_day = 0;
    // A control of the share for the next release's run.
    std::unique_ptr<ShareControl> m_control;

    static ULONGLONG IndexBytes(const std::string& bytes)
    {
        return SCBlockIndex::IndexBytes(bytes.size(), SCBlockIndex::BlockSizeFor(bytes.size()));
    }

    std::string Changed(std::string bytes, size_t at, size_t n, const std::string& how) const
    {
        bytes.replace(at, n, Content(n, how));
        return bytes;
    }
};
} // namespace

TEST_F(DeltaCopy, AFileChangedAppendedOrWithBytesInsertedIsBuiltFromItsBlocksReadingFarLess)
{
    std::string bytes = Content(kSize, "v1");
    rel.Put(kBig, bytes, T(2026, 1, 10));
    rel.Put(kOther, Content(kSize / 2, "other"), T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    // Nothing installed to build from: each file read whole, no index read.
    ExpectUpdate({{kBig}, {kOther}});
    EXPECT_EQ(kSize + kSize / 2, bytesRead);

    const struct
    {
        const char* what;
        std::function<void(std::string&)> change;
        size_t nNew; // bytes no installed block can hold
    } changes[] = {
        {"changed in three places of 10 KB",
         [&](std::string& b)
         {
             for (const size_t at : {100000u, 2500000u, 6000000u})
             {
                 b = Changed(b, at, 10240, "v2 " + std::to_string(at));
             }
         },
         3 * 10240},
        {"appended to", [](std::string& b) { b += Content(300000, "tail"); }, 300000},
        {"with 5,000 bytes inserted near its start",
         [](std::string& b) { b.insert(123457, Content(5000, "inserted")); }, 5000},
        // Two blocks in a row that lie apart in the installed file (2 KB blocks).
        {"with 3,000 bytes cut at a block's end", [](std::string& b) { b.erase(2048000, 3000); },
         0},
    };
    for (const auto& c : changes)
    {
        SCOPED_TRACE(c.what);
        c.change(bytes);
        Release(bytes, {kBig});
        // The new bytes, the blocks around them and the index (some 1 % of the file).
        EXPECT_LE(bytesRead, c.nNew + 4 * 4096 + IndexBytes(bytes));
        EXPECT_GT(bytesRead, c.nNew);
    }
}

TEST_F(DeltaCopy, WhatCannotBeTrustedOrDoesNotMatchIsCopiedWholeOrRefused)
{
    std::string bytes = Content(kSize, "v1");
    rel.Put(kBig, bytes, T(2026, 1, 10));
    rel.Put(kOther, Content(kSize, "other"), T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    ExpectUpdate({{kBig}, {kOther}});
    const auto next = [&](const std::string& how)
    { return bytes = Changed(bytes, 3000000, 10000, how); };
    const auto installed = [&](const std::string& content)
    { inst.Put(kBig, content, T(2025, 1, 1)); };

    // An installed file smaller than a quarter of the release's: no index is read.
    installed(bytes.substr(0, kSize / 4 - 1));
    Release(next("a"), {kBig});
    EXPECT_EQ(kSize, bytesRead);
    // A foreign one: the index read, nothing found in it.
    installed(Content(kSize, "foreign"));
    Release(next("b"), {kBig});
    EXPECT_EQ(kSize + IndexBytes(bytes), bytesRead);
    // The index changed on the share after publishing: not its record's.
    Release(next("c"), {kBig, ERROR_SUCCESS, kIndexRefused},
            [&]
            {
                std::string index = ReadBytes(rel.Path(IndexOf(bytes)));
                index[100] ^= 1;
                WriteBytes(rel.Path(IndexOf(bytes)), index);
            });
    // Another file's index, with a record made to name it: not this file's.
    Release(next("d"), {kBig, ERROR_SUCCESS, kIndexRefused},
            [&]
            {
                const std::wstring theirs = IndexOf(ReadBytes(rel.Path(kOther)));
                CopyFileW(rel.Path(theirs).c_str(), rel.Path(IndexOf(bytes)).c_str(), FALSE);
                std::wstring text = ReadUtf16(rel.Path(L"HotUpdateFileList_Server.sha256"));
                // The line's size and digest, after "?blocks TAB TAB <name's 64 digits>".
                const auto tail = [&text](const std::wstring& index)
                {
                    const size_t at =
                        text.find(L"?blocks\t\t" + index.substr(index.find(L'\\') + 1, 64));
                    return std::make_pair(at + 9 + 64, text.find(L"\r\n", at) - (at + 9 + 64));
                };
                const auto [mine, nMine] = tail(IndexOf(bytes));
                const auto [other, nOther] = tail(theirs);
                text.replace(mine, nMine, text.substr(other, nOther));
                WriteUtf16(rel.Path(L"HotUpdateFileList_Server.sha256"), text);
            });
    // The first read of the file's missing blocks served wrong once: what was built does
    // not match, and the file is read again whole.
    Release(next("e"), {kBig, ERROR_SUCCESS, kBuiltNotRelease},
            [&] { m_control = std::make_unique<ShareControl>(rel, L"flip", "big.dat@1"); });
    // The release file damaged on the share where the installation lacks it: neither
    // what was built nor the whole file matches, and nothing is installed.
    Release(next("f"), {kBig, kNotRelease, kBuiltNotRelease},
            [&]
            {
                std::string damaged = bytes;
                damaged[3000100] ^= 1;
                const FILETIME stamp = Stamp(rel.Path(kBig));
                WriteBytes(rel.Path(kBig), damaged, &stamp);
            });
}
