// The release record: SHA-256 through the system, the record's text read back
// code unit for code unit, and records that are not records rejected whole.
#include "lib/ReleaseRecord.h"

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using qvstest::TempDir;

namespace
{
std::string Bytes(const std::wstring& text)
{
    return qvstest::Utf16Bytes(text);
}

SCSha256::Digest DigestOf(const std::string& bytes)
{
    SCSha256::Digest digest{};
    EXPECT_TRUE(SCSha256::HashBytes(bytes.data(), bytes.size(), digest));
    return digest;
}

std::string Pattern(size_t n)
{
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
    {
        bytes[i] = static_cast<char>(i & 0xFF);
    }
    return bytes;
}

const std::wstring kHashA = std::wstring(63, L'a') + L"0";
const std::wstring kHashB = std::wstring(64, L'b');
const std::wstring kFolder = L"\\\\SRV01\\Release\\bin\\";
} // namespace

// Expected values from Python's hashlib.sha256.
TEST(Sha256, KnownAnswersInMemoryInPiecesAndFromFiles)
{
    const struct
    {
        std::string bytes;
        const wchar_t* hex;
    } cases[] = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // Just over the piece files are read in.
        {Pattern(262400), L"85e1298a87a2077b5de87c6ea60e77be9ceba06f955c51b73676ee5a71f1187f"},
    };
    TempDir dir;
    for (const auto& c : cases)
    {
        SCSha256::Digest digest{};
        ASSERT_TRUE(SCSha256::HashBytes(c.bytes.data(), c.bytes.size(), digest));
        EXPECT_EQ(c.hex, SCSha256::ToHex(digest)) << c.bytes.size();

        SCSha256 pieces;
        const size_t nHalf = c.bytes.size() / 3;
        ASSERT_TRUE(pieces.Update(c.bytes.data(), nHalf));
        ASSERT_TRUE(pieces.Update(c.bytes.data() + nHalf, c.bytes.size() - nHalf));
        SCSha256::Digest fromPieces{};
        ASSERT_TRUE(pieces.Finish(fromPieces));
        EXPECT_EQ(digest, fromPieces) << c.bytes.size();

        qvstest::WriteBytes(dir / L"f.bin", c.bytes);
        const UniqueFile file(CreateFileW((dir / L"f.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        SCSha256::Digest fromFile{};
        ULONGLONG nBytes = 0;
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  SCSha256::HashOpenFile(file.get(), fromFile, &nBytes));
        EXPECT_EQ(digest, fromFile) << c.bytes.size();
        EXPECT_EQ(c.bytes.size(), nBytes);

        SCSha256::Digest parsed{};
        EXPECT_TRUE(SCSha256::FromHex(c.hex, parsed));
        EXPECT_EQ(digest, parsed);
    }
}

TEST(ReleaseRecord, WhatIsWrittenReadsBackCodeUnitForCodeUnit)
{
    const std::wstring longFolder = L"\\\\SRV01\\Release\\" + std::wstring(150, L'a') + L"\\" +
                                    std::wstring(150, L'b') + L"\\";
    const struct
    {
        std::wstring folder;
        std::wstring name;
        ULONGLONG nSize;
    } files[] = {
        {kFolder, L"app.dll", 1},
        {L"\\\\SRV01\\Release\\\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\\", L"\u03b1\u03c1\u03c7.txt",
         0},
        {kFolder, L"\u6570\u636e\U0001F600.dat", 123456789},
        {kFolder, L"lone\xD800surrogate.bin", ~0ull},
        {longFolder, L"deep.dll", 42},
    };
    const SCSha256::Digest listDigest = DigestOf("the list");
    std::wstring text = SCReleaseRecord::FormatFirstLine(listDigest);
    for (const auto& f : files)
    {
        ASSERT_TRUE(SCReleaseRecord::CanRecord(f.folder, f.name));
        SCReleaseRecord::Item item;
        item.nSize = f.nSize;
        item.digest = DigestOf(qvstest::ToUtf8(f.name));
        text += SCReleaseRecord::FormatLine(f.folder, f.name, item);
    }
    SCReleaseRecord record;
    ASSERT_TRUE(record.Parse(Bytes(text)));
    EXPECT_EQ(SCReleaseRecord::State::Loaded, record.GetState());
    EXPECT_TRUE(record.BelongsTo(listDigest));
    EXPECT_FALSE(record.BelongsTo(DigestOf("another list")));
    EXPECT_EQ(std::size(files), record.GetCount());
    for (const auto& f : files)
    {
        const SCReleaseRecord::Item* pItem = record.Find(f.folder, f.name);
        ASSERT_NE(nullptr, pItem) << qvstest::ToUtf8(f.name);
        EXPECT_EQ(f.nSize, pItem->nSize);
        EXPECT_EQ(DigestOf(qvstest::ToUtf8(f.name)), pItem->digest);
    }
    // Looked up exactly as the list spells it.
    EXPECT_EQ(nullptr, record.Find(kFolder, L"APP.DLL"));
    EXPECT_EQ(nullptr, record.Find(L"\\\\SRV01\\Release\\bin", L"app.dll"));
    // Fields that would not read back are not written.
    for (const wchar_t* name : {L"a\tb", L"a\rb", L"a\nb", L""})
    {
        EXPECT_FALSE(SCReleaseRecord::CanRecord(kFolder, name));
    }
}

TEST(ReleaseRecord, AnythingButARecordIsRejectedWholeAndCountsAsAbsent)
{
    const std::wstring first = kHashA + L"\r\n";
    const std::wstring line = kFolder + L"\t\tapp.dll\t\t12\t\t" + kHashB + L"\r\n";
    const std::wstring good = first + line;
    const struct
    {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"odd byte count", Bytes(good) + "x"},
        {"byte order mark", Bytes(L"\xFEFF" + good)},
        {"no final line end", Bytes(good.substr(0, good.size() - 2))},
        {"LF line ends", Bytes(kHashA + L"\n" + kFolder + L"\t\tapp.dll\t\t12\t\t" + kHashB + L"\n")},
        {"lone CR in a name", Bytes(first + kFolder + L"\t\ta\rb\t\t12\t\t" + kHashB + L"\r\n")},
        {"NUL in a name", Bytes(first + kFolder + L"\t\ta" + std::wstring(1, L'\0') + L"b\t\t12\t\t" +
                                kHashB + L"\r\n")},
        {"first line upper case", Bytes(std::wstring(64, L'A') + L"\r\n" + line)},
        {"first line 63 digits", Bytes(kHashA.substr(1) + L"\r\n" + line)},
        {"first line not hex", Bytes(std::wstring(63, L'a') + L"g\r\n" + line)},
        {"hash missing", Bytes(first + kFolder + L"\t\tapp.dll\t\t12\r\n")},
        {"fifth field", Bytes(first + kFolder + L"\t\tapp.dll\t\t12\t\t" + kHashB + L"\t\tx\r\n")},
        {"single TAB", Bytes(first + kFolder + L"\t\tapp\t.dll\t\t12\t\t" + kHashB + L"\r\n")},
        {"empty name", Bytes(first + kFolder + L"\t\t\t\t12\t\t" + kHashB + L"\r\n")},
        {"empty folder", Bytes(first + L"\t\tapp.dll\t\t12\t\t" + kHashB + L"\r\n")},
        {"signed size", Bytes(first + kFolder + L"\t\tapp.dll\t\t+12\t\t" + kHashB + L"\r\n")},
        {"size with leading zero", Bytes(first + kFolder + L"\t\tapp.dll\t\t012\t\t" + kHashB + L"\r\n")},
        {"size beyond 64 bits",
         Bytes(first + kFolder + L"\t\tapp.dll\t\t18446744073709551616\t\t" + kHashB + L"\r\n")},
        {"hash upper case",
         Bytes(first + kFolder + L"\t\tapp.dll\t\t12\t\t" + std::wstring(64, L'B') + L"\r\n")},
        {"hash 65 digits", Bytes(first + kFolder + L"\t\tapp.dll\t\t12\t\t" + kHashB + L"b\r\n")},
        {"a file named twice", Bytes(good + line)},
        {"empty line", Bytes(first + L"\r\n" + line)},
    };
    for (const auto& c : cases)
    {
        SCReleaseRecord record;
        ASSERT_TRUE(record.Parse(Bytes(good)));
        ASSERT_NE(nullptr, record.Find(kFolder, L"app.dll"));
        EXPECT_FALSE(record.Parse(c.bytes)) << c.what;
        EXPECT_EQ(SCReleaseRecord::State::Malformed, record.GetState()) << c.what;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), record.GetError()) << c.what;
        EXPECT_EQ(0u, record.GetCount()) << c.what;
        EXPECT_EQ(nullptr, record.Find(kFolder, L"app.dll")) << c.what;
    }
    // The largest size there is still reads.
    SCReleaseRecord record;
    EXPECT_TRUE(record.Parse(
        Bytes(first + kFolder + L"\t\tapp.dll\t\t18446744073709551615\t\t" + kHashB + L"\r\n")));
}

TEST(ReleaseRecord, ItIsKeptOnlyBesideTheListItBelongsTo)
{
    TempDir dir;
    // Beyond MAX_PATH, as a deep release or installation may put it.
    const std::wstring folder = dir / (std::wstring(120, L'r') + L"\\" + std::wstring(120, L's'));
    const std::wstring list = folder + L"\\HotUpdateFileList_Server.txt";
    const std::wstring recordPath = folder + L"\\" + kReleaseRecordName;
    const std::string listBytes = Bytes(kFolder + L"\t\tapp.dll\t\t04/12/26 21:59:45\r\n");
    const std::string recordBytes =
        Bytes(SCReleaseRecord::FormatFirstLine(DigestOf(listBytes)) + kFolder +
              L"\t\tapp.dll\t\t12\t\t" + kHashB + L"\r\n");
    std::string changedList = listBytes;
    changedList[4] ^= 0x20;
    const struct
    {
        const char* what;
        std::string list;
        std::string record; // empty: no record file
        SCReleaseRecord::State state;
    } cases[] = {
        {"its list", listBytes, recordBytes, SCReleaseRecord::State::Loaded},
        {"a list changed by one bit", changedList, recordBytes, SCReleaseRecord::State::OtherList},
        {"no record", listBytes, "", SCReleaseRecord::State::Missing},
        {"not a record", listBytes, "garbage!", SCReleaseRecord::State::Malformed},
    };
    for (const auto& c : cases)
    {
        qvstest::WriteBytes(list, c.list);
        DeleteFileW(AfxLongPathForm(recordPath).c_str());
        if (!c.record.empty())
        {
            qvstest::WriteBytes(recordPath, c.record);
        }
        SCReleaseRecord record;
        EXPECT_EQ(c.state == SCReleaseRecord::State::Loaded, record.LoadFor(recordPath, list) != FALSE)
            << c.what;
        EXPECT_EQ(c.state, record.GetState()) << c.what;
        EXPECT_EQ(c.state == SCReleaseRecord::State::Loaded ? 1u : 0u, record.GetCount()) << c.what;
    }
}
