// The release key and the signed record: texts and key files read back, keys
// that are no keys refused, and a signed record that changed in any byte never
// taken for the administrator's.
#include "tests/unit/SignedRecords.h"

#include "framework/AfxFileFind.h"

using namespace signedrecords;
using qvstest::TempDir;

TEST(ReleaseKey, TextsAndKeyFilesReadBackAndWhatIsNoKeyIsRefused)
{
    const SCReleasePublicKey& key = Key(0).GetPublicKey();
    SCReleasePublicKey parsed;
    ASSERT_EQ(SCReleasePublicKey::ParseError::None, parsed.Parse(key.ToText()));
    EXPECT_TRUE(parsed == key);
    EXPECT_EQ(key.GetId(), parsed.GetId());
    EXPECT_EQ(SCSha256::ToHex(key.GetId()).substr(0, 16), key.ShortId());
    EXPECT_FALSE(Key(1).GetPublicKey() == key);

    const std::wstring hex = key.ToText().substr(11);
    std::wstring upper = hex;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    using E = SCReleasePublicKey::ParseError;
    const struct
    {
        std::wstring text;
        E error;
    } refused[] = {
        {hex, E::NoPrefix},
        {L"ECDSA-P256:" + hex, E::NoPrefix},
        {L"ecdsa-p256:" + hex.substr(1), E::Length},
        {L"ecdsa-p256:" + hex + L" ", E::Length},
        {L"ecdsa-p256:" + upper, E::NotHex},
        {L"ecdsa-p256:" + hex.substr(0, 127) + L"g", E::NotHex},
        // (A point off the curve is refused by Windows' import, not by Wine's:
        // tests/README.md.)
    };
    for (const auto& c : refused)
    {
        SCReleasePublicKey bad;
        EXPECT_EQ(c.error, bad.Parse(c.text)) << qvstest::ToUtf8(c.text);
        EXPECT_FALSE(bad.IsValid());
    }

    // The sealed key file: what it signs, the public key verifies; none is overwritten.
    TempDir dir;
    const std::wstring file = dir / L"admin.key";
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Key(0).Save(file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), Key(1).Save(file));
    SCReleaseSigningKey loaded;
    ASSERT_EQ(SCReleaseSigningKey::Stage::Loaded, loaded.Load(file));
    EXPECT_TRUE(loaded.GetPublicKey() == key);
    const SCSha256::Digest digest = DigestOf("a release");
    SCReleasePublicKey::Signature signature{};
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), loaded.Sign(digest, signature));
    EXPECT_TRUE(key.Verify(digest, signature));
    EXPECT_FALSE(key.Verify(DigestOf("another release"), signature));
    EXPECT_FALSE(Key(1).GetPublicKey().Verify(digest, signature));

    // Files that are not a key this account can use.
    const std::string sealed = qvstest::ReadBytes(file);
    std::string flipped = sealed;
    flipped[flipped.size() - 20] ^= 0x01;
    const struct
    {
        const char* what;
        std::string bytes; // "" : no file
        SCReleaseSigningKey::Stage stage;
    } unusable[] = {
        {"missing", "", SCReleaseSigningKey::Stage::Read},
        {"a public key file", qvstest::ToUtf8(key.ToText()) + "\r\n",
         SCReleaseSigningKey::Stage::NotAKey},
        {"the seal cut short", sealed.substr(0, sealed.size() / 2),
         SCReleaseSigningKey::Stage::Unprotect},
        {"a bit of the seal flipped", flipped, SCReleaseSigningKey::Stage::Unprotect},
    };
    for (const auto& c : unusable)
    {
        const std::wstring path = dir / L"other.key";
        DeleteFileW(path.c_str());
        if (!c.bytes.empty())
        {
            qvstest::WriteBytes(path, c.bytes);
        }
        SCReleaseSigningKey other;
        EXPECT_EQ(c.stage, other.Load(path)) << c.what;
        EXPECT_FALSE(other.IsValid()) << c.what;
        EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), other.GetError()) << c.what;
    }
}

TEST(SignedRecord, ReadsBackAndReadsAsFilesUnderTheUnsignedRules)
{
    const std::string list = ListBytes();
    const std::wstring unsignedText = RecordText(list);
    for (const int nNext : {-1, 1})
    {
        const std::wstring text = SignedText(unsignedText, 0, 7, nNext);
        SCReleaseRecord record;
        ASSERT_TRUE(record.Parse(qvstest::Utf16Bytes(text)));
        ASSERT_TRUE(record.IsSigned());
        EXPECT_TRUE(record.BelongsTo(DigestOf(list)));
        EXPECT_EQ(kNames.size(), record.GetCount()) << "the block's lines are no files";
        EXPECT_NE(nullptr, record.Find(kFolder, kNames[2]));
        const SCReleaseRecord::Signed& block = record.GetSigned();
        EXPECT_EQ(7u, block.nRelease);
        EXPECT_EQ(Key(0).GetPublicKey().GetId(), block.signerId);
        EXPECT_EQ(nNext > 0, block.bNextKey);
        EXPECT_EQ(nNext > 0, block.nextKey == Key(1).GetPublicKey());
        EXPECT_TRUE(record.IsSignedBy(Key(0).GetPublicKey()));
        EXPECT_FALSE(record.IsSignedBy(Key(1).GetPublicKey()));

        // Under the unsigned rules (the parser of clients without them) the block
        // is files of one more folder: the same parse, that folder a plain one.
        std::wstring asFiles = text;
        const std::wstring plain = L"\\\\SRV01\\x\\";
        for (size_t at; (at = asFiles.find(SCReleaseRecord::kSignedFolder)) != std::wstring::npos;)
        {
            asFiles.replace(at, SCReleaseRecord::kSignedFolder.size(), plain);
        }
        SCReleaseRecord old;
        ASSERT_TRUE(old.Parse(qvstest::Utf16Bytes(asFiles)));
        EXPECT_FALSE(old.IsSigned());
        EXPECT_EQ(kNames.size() + (nNext > 0 ? 5u : 3u), old.GetCount());
        ASSERT_NE(nullptr, old.Find(plain, L"release"));
        EXPECT_EQ(7u, old.Find(plain, L"release")->nSize);
    }
    // The unsigned record reads as ever, signed by nobody.
    SCReleaseRecord record;
    ASSERT_TRUE(record.Parse(qvstest::Utf16Bytes(unsignedText)));
    EXPECT_FALSE(record.IsSigned());
    EXPECT_FALSE(record.IsSignedBy(Key(0).GetPublicKey()));
}

// (Another key's record, and one under the administrator's id that another key
// signed: unit/ReleaseTrustTest.cpp.)
TEST(SignedRecord, AnyByteChangedIsNeverTheAdministratorsRecord)
{
    const std::string bytes = qvstest::Utf16Bytes(SignedText(RecordText(ListBytes()), 0, 3, 1));
    const SCReleasePublicKey& admin = Key(0).GetPublicKey();
    size_t nParsed = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        std::string changed = bytes;
        changed[i] = static_cast<char>(changed[i] ^ 0x01);
        SCReleaseRecord record;
        const bool bParsed = record.Parse(changed) != FALSE;
        nParsed += bParsed ? 1 : 0;
        EXPECT_FALSE(bParsed && record.IsSignedBy(admin)) << "byte " << i;
    }
    // Many changes still make a record: it is the signature that refuses them.
    EXPECT_GT(nParsed, bytes.size() / 3);
}

TEST(SignedRecord, ABlockOutOfPlaceOrOfTheWrongShapeMakesTheRecordUnreadable)
{
    const std::wstring files = RecordText(ListBytes());
    const std::wstring signedText = SignedText(files, 0, 3, 1);
    const std::wstring block = signedText.substr(files.size());
    std::vector<std::wstring> lines;
    for (size_t at = 0, end; (end = block.find(L"\r\n", at)) != std::wstring::npos; at = end + 2)
    {
        lines.push_back(block.substr(at, end + 2 - at));
    }
    ASSERT_EQ(5u, lines.size());
    const auto join = [&](std::initializer_list<size_t> order)
    {
        std::wstring text = files;
        for (const size_t n : order)
        {
            text += lines[n];
        }
        return text;
    };
    const auto replaced = [&](const std::wstring& from, const std::wstring& to)
    {
        std::wstring text = signedText;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    // A file of its own (not one named already, which is refused for that).
    const std::wstring lateFile = SCReleaseRecord::FormatLine(kFolder, L"late.dll", {});
    const std::wstring r = lines[3].substr(lines[3].size() - 66, 64);
    const struct
    {
        const char* what;
        std::wstring text;
    } cases[] = {
        {"a file after the block", signedText + lateFile},
        {"no release line", join({1, 2, 3, 4})},
        {"no signature", join({0, 1, 2})},
        {"next key without its Y", join({0, 1, 3, 4})},
        {"signature halves swapped", join({0, 1, 2, 4, 3})},
        {"the release line twice", join({0, 0, 1, 2, 3, 4})},
        {"release number 0", replaced(L"\t\trelease\t\t3\t\t", L"\t\trelease\t\t0\t\t")},
        {"a number on the signature", replaced(L"\t\tsignature-r\t\t0\t\t", L"\t\tsignature-r\t\t1\t\t")},
        {"a line the block does not know", replaced(L"\t\tnext-key-x\t\t", L"\t\tnext-key-z\t\t")},
        {"a signature 62 digits long", replaced(r, r.substr(2))},
    };
    for (const auto& c : cases)
    {
        SCReleaseRecord record;
        EXPECT_FALSE(record.Parse(qvstest::Utf16Bytes(c.text))) << c.what;
        EXPECT_EQ(SCReleaseRecord::State::Malformed, record.GetState()) << c.what;
        EXPECT_FALSE(record.IsSigned()) << c.what;
    }
    // A signature of 64 bytes that is no signature (r = s = 0): refused, whatever
    // status the system gives for it.
    SCReleaseRecord zero;
    ASSERT_TRUE(zero.Parse(qvstest::Utf16Bytes(
        replaced(lines[3], SCReleaseRecord::FormatLine(std::wstring(SCReleaseRecord::kSignedFolder),
                                                       L"signature-r", SCReleaseRecord::Item{})))));
    EXPECT_FALSE(zero.IsSignedBy(Key(0).GetPublicKey()));
}
