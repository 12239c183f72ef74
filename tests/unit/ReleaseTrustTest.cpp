// The rule of signed releases, case by case: what QVS.ini trusts, the record
// beside the list, the copy plan; the verdict and the words that name the check.
#include "lib/ReleaseTrust.h"

#include "tests/unit/SignedRecords.h"

#include "framework/AfxFileFind.h"

#include <map>
#include <optional>

using namespace signedrecords;
using Verdict = SCReleaseTrustDecision::Verdict;

namespace
{
const std::wstring kRelease = L"\\\\SRV01\\Release";

std::wstring KeyText(size_t n)
{
    return Key(n).GetPublicKey().ToText();
}

std::wstring Id(size_t n)
{
    return Key(n).GetPublicKey().ShortId();
}

std::wstring SignedDigestHex(const std::wstring& text)
{
    SCReleaseRecord record;
    EXPECT_TRUE(record.Parse(qvstest::Utf16Bytes(text)));
    return SCSha256::ToHex(record.GetSigned().signedDigest);
}

// The plan: every listed file to be copied, and one that is not.
FileList Plan(const std::vector<std::wstring>& copied, const std::wstring& kept = {})
{
    FileList plan;
    for (const std::wstring& name : copied)
    {
        plan.push_back(std::make_unique<FileListEntry>(
            FileListEntry{kFolder, L"C:\\Client\\bin\\", name, L"04/12/26 21:59:45"}));
    }
    if (!kept.empty())
    {
        plan.push_back(std::make_unique<FileListEntry>(
            FileListEntry{kFolder, L"", kept, L"04/12/26 21:59:45"}));
    }
    return plan;
}
// A release list in a folder of its own, where its record is written beside it, and
// that record's text unsigned.
struct ListAndRecord
{
    qvstest::TempDir dir;
    std::wstring listPath = dir / L"HotUpdateFileList_Server.txt";
    std::wstring recordPath = dir / L"HotUpdateFileList_Server.sha256";
    std::wstring files;
    ListAndRecord()
    {
        const std::string list = ListBytes();
        qvstest::WriteBytes(listPath, list);
        files = RecordText(list);
    }
};
} // namespace

TEST(ReleaseTrust, EachCheckRefusesWithItsReasonAndARotationPinsTheNextKey)
{
    const ListAndRecord release;
    const std::wstring& files = release.files;
    const std::wstring& listPath = release.listPath;
    const std::wstring& recordPath = release.recordPath;
    const std::wstring rotating = SignedText(files, 0, 5, 1);
    const std::wstring otherList = SignedText(RecordText(ListBytes({L"other.dll"})), 0, 5);
    // Signed by key 2 under key 0's name: a signature that does not hold.
    std::wstring forged = SignedText(files, 2, 5);
    const std::wstring otherId = SCSha256::ToHex(Key(2).GetPublicKey().GetId());
    forged.replace(forged.find(otherId), otherId.size(),
                   SCSha256::ToHex(Key(0).GetPublicKey().GetId()));

    SCReleaseTrustSettings admin;
    admin.strReleaseKey = KeyText(0);
    admin.strInstalledNumber = L"4";
    SCReleaseTrustSettings pinned = admin; // after the rotating release began
    pinned.strPinnedKey = KeyText(1);
    pinned.strPinnedFrom = KeyText(0);
    pinned.strPinnedBy = SignedDigestHex(rotating);
    pinned.strInstalledNumber = L"5";
    SCReleaseTrustSettings edited = pinned; // the administrator set ReleaseKey anew
    edited.strReleaseKey = KeyText(2);
    const auto with = [](SCReleaseTrustSettings s, std::wstring SCReleaseTrustSettings::*pKey,
                         const std::wstring& value)
    {
        s.*pKey = value;
        return s;
    };

    const struct
    {
        const char* what;
        SCReleaseTrustSettings settings;
        std::optional<std::wstring> record; // none: no record file
        std::vector<std::wstring> copied;
        Verdict verdict;
        std::vector<std::wstring> says; // the text names the check
    } cases[] = {
        {"no ReleaseKey: as ever", {}, files, kNames, Verdict::NotRequired, {}},
        {"no ReleaseKey, a signed record", {}, rotating, kNames, Verdict::NotRequired, {}},
        {"a signed release", admin, SignedText(files, 0, 5), kNames, Verdict::Accepted,
         {L"is release 5, signed by the trusted key " + Id(0) + L"."}},
        {"the number of the release installed", admin, SignedText(files, 0, 4), kNames,
         Verdict::Accepted, {L"is release 4"}},
        {"an older release", admin, SignedText(files, 0, 3), kNames, Verdict::Refused,
         {L"is release 3, older than release 4"}},
        {"unsigned", admin, files, kNames, Verdict::Refused,
         {L"is not signed", L"installs only signed releases (ReleaseKey in QVS.ini)"}},
        {"no record", admin, std::nullopt, kNames, Verdict::Refused, {L"has no release record"}},
        {"the record of another list", admin, otherList, kNames, Verdict::Refused,
         {L"belongs to another release list"}},
        {"no record at all", admin, std::wstring(L"garbage"), kNames, Verdict::Refused,
         {L"record in " + kRelease + L" cannot be read ("}},
        {"another key", admin, SignedText(files, 2, 5), kNames, Verdict::Refused,
         {L"signed by another key (" + Id(2) + L") than the one this installation trusts (" +
          Id(0) + L")"}},
        {"a signature that does not hold", admin, forged, kNames, Verdict::Refused,
         {L"signature of the release in " + kRelease + L" does not match its record"}},
        {"a file to copy that the record does not name", admin, SignedText(files, 0, 5),
         {L"app.dll", L"extra.dll"}, Verdict::Refused,
         {L"does not name " + kFolder + L"extra.dll"}},
        {"a broken ReleaseKey", with(admin, &SCReleaseTrustSettings::strReleaseKey, L"ecdsa-p256:00"),
         SignedText(files, 0, 5), kNames, Verdict::Refused,
         {L"The ReleaseKey in QVS.ini is not a release key", L"nothing was installed from " + kRelease}},
        {"a broken number", with(admin, &SCReleaseTrustSettings::strInstalledNumber, L"04"),
         SignedText(files, 0, 5), kNames, Verdict::Refused, {L"The InstalledReleaseNumber in QVS.ini"}},
        {"the rotating release", admin, rotating, kNames, Verdict::Accepted,
         {L"it names the next key " + Id(1) + L", which this installation trusts from now on"}},
        {"pinned: the rotating release again", pinned, rotating, kNames, Verdict::Accepted,
         {L"is release 5"}},
        {"pinned: the next key's release", pinned, SignedText(files, 1, 6), kNames,
         Verdict::Accepted, {L"signed by the trusted key " + Id(1)}},
        {"pinned: the old key's release", pinned, SignedText(files, 0, 6), kNames, Verdict::Refused,
         {L"signed by another key (" + Id(0) + L") than the one this installation trusts (" +
          Id(1) + L")"}},
        {"pinned: the old key naming the next key again", pinned, SignedText(files, 0, 6, 1),
         kNames, Verdict::Refused, {L"signed by another key (" + Id(0)}},
        {"pinned: a broken pin", with(pinned, &SCReleaseTrustSettings::strPinnedKey, L"x"),
         rotating, kNames, Verdict::Refused, {L"The PinnedReleaseKey in QVS.ini"}},
        {"pinned: a broken record digest", with(pinned, &SCReleaseTrustSettings::strPinnedBy, L"x"),
         rotating, kNames, Verdict::Refused, {L"The PinnedByRecord in QVS.ini"}},
        {"ReleaseKey edited: the pin no longer counts", edited, SignedText(files, 1, 6), kNames,
         Verdict::Refused, {L"signed by another key (" + Id(1)}},
        {"ReleaseKey edited: its key's release", edited, SignedText(files, 2, 6), kNames,
         Verdict::Accepted, {L"signed by the trusted key " + Id(2)}},
        {"a number counted under another ReleaseKey: afresh",
         with(with(admin, &SCReleaseTrustSettings::strInstalledNumber, L"9"),
              &SCReleaseTrustSettings::strInstalledUnder, KeyText(2)),
         SignedText(files, 0, 5), kNames, Verdict::Accepted, {L"is release 5"}},
        {"a number counted under this ReleaseKey",
         with(with(admin, &SCReleaseTrustSettings::strInstalledNumber, L"9"),
              &SCReleaseTrustSettings::strInstalledUnder, KeyText(0)),
         SignedText(files, 0, 5), kNames, Verdict::Refused, {L"older than release 9"}},
    };
    for (const auto& c : cases)
    {
        DeleteFileW(recordPath.c_str());
        if (c.record)
        {
            qvstest::WriteUtf16(recordPath, *c.record);
        }
        SCReleaseRecord record;
        record.LoadFor(recordPath, listPath);
        const FileList plan = Plan(c.copied, L"notcopied.dll");
        const SCReleaseTrustDecision decision = CheckReleaseTrust(c.settings, kRelease, record, plan);
        EXPECT_EQ(c.verdict, decision.verdict) << c.what << ": " << qvstest::ToUtf8(decision.strText);
        for (const std::wstring& part : c.says)
        {
            EXPECT_NE(std::wstring::npos, decision.strText.find(part))
                << c.what << ": " << qvstest::ToUtf8(decision.strText);
        }
        if (c.verdict == Verdict::Refused)
        {
            EXPECT_NE(std::wstring::npos, decision.strText.find(kRelease)) << c.what;
        }
        if (c.verdict == Verdict::Accepted)
        {
            SCReleaseRecord again;
            ASSERT_TRUE(again.Parse(qvstest::Utf16Bytes(*c.record)));
            EXPECT_EQ(again.GetSigned().nRelease, decision.nReleaseNumber) << c.what;
            // The rotating release pins its next key as descending from ReleaseKey.
            EXPECT_EQ(again.GetSigned().bNextKey, decision.bPin) << c.what;
            EXPECT_EQ(decision.bPin ? KeyText(1) : L"", decision.strPinnedKey) << c.what;
            EXPECT_EQ(decision.bPin ? c.settings.strReleaseKey : L"", decision.strPinnedFrom) << c.what;
            EXPECT_EQ(decision.bPin ? SignedDigestHex(rotating) : L"", decision.strPinnedBy) << c.what;
        }
    }
}

// What a run records as the copy begins, written key after key: a start killed after
// any of them finds the rotating release (and the next key's) still accepted.
TEST(ReleaseTrust, EveryPrefixOfTheWritesAtCopyStartKeepsTheRotatingReleaseAccepted)
{
    const ListAndRecord release;
    const std::wstring& files = release.files;
    const std::wstring& listPath = release.listPath;
    const std::wstring& recordPath = release.recordPath;
    const auto load = [&](const std::wstring& text)
    {
        qvstest::WriteUtf16(recordPath, text);
        auto record = std::make_unique<SCReleaseRecord>();
        record->LoadFor(recordPath, listPath);
        return record;
    };
    SCReleaseTrustSettings first;
    first.strReleaseKey = KeyText(0);
    first.strInstalledNumber = L"4";
    const std::map<std::wstring, std::wstring SCReleaseTrustSettings::*> keys = {
        {L"PinnedByRecord", &SCReleaseTrustSettings::strPinnedBy},
        {L"PinnedReleaseKey", &SCReleaseTrustSettings::strPinnedKey},
        {L"PinnedFromReleaseKey", &SCReleaseTrustSettings::strPinnedFrom},
        {L"InstalledReleaseNumber", &SCReleaseTrustSettings::strInstalledNumber},
        {L"InstalledUnderReleaseKey", &SCReleaseTrustSettings::strInstalledUnder}};
    // The first rotation (key 0 names key 1), and the second from its pin (key 1 names 2).
    SCReleaseTrustSettings second = first;
    const std::wstring rotating = SignedText(files, 0, 5, 1);
    second.strPinnedKey = KeyText(1);
    second.strPinnedFrom = KeyText(0);
    second.strPinnedBy = SignedDigestHex(rotating);
    second.strInstalledNumber = L"5";
    const struct
    {
        const char* what;
        SCReleaseTrustSettings settings;
        std::wstring rotating;
    } rotations[] = {{"first rotation", first, rotating},
                     {"second rotation", second, SignedText(files, 1, 6, 2)}};
    for (const auto& r : rotations)
    {
        const FileList plan = Plan(kNames);
        const auto record = load(r.rotating);
        const SCReleaseTrustDecision decision = CheckReleaseTrust(r.settings, kRelease, *record, plan);
        ASSERT_EQ(Verdict::Accepted, decision.verdict) << r.what;
        const auto writes = decision.Writes();
        for (size_t n = 0; n <= writes.size(); ++n)
        {
            SCReleaseTrustSettings settings = r.settings;
            for (size_t i = 0; i < n; ++i)
            {
                settings.*keys.at(writes[i].first) = writes[i].second;
            }
            EXPECT_EQ(Verdict::Accepted, CheckReleaseTrust(settings, kRelease, *record, plan).verdict)
                << r.what << ", killed after " << n << " of " << writes.size() << " writes";
        }
    }
    // A list dated more than a day ahead is a bad release, whoever signed it.
    FileList ahead = Plan(kNames);
    ahead.front()->modified = L"31/12/79 23:59:59";
    const SCReleaseTrustDecision refused =
        CheckReleaseTrust(first, kRelease, *load(SignedText(files, 0, 5)), ahead);
    EXPECT_EQ(Verdict::Refused, refused.verdict);
    EXPECT_NE(std::wstring::npos, refused.strText.find(L"31/12/79 23:59:59, more than a day ahead"))
        << qvstest::ToUtf8(refused.strText);
}
