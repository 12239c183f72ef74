// Signed releases through the real programs: QVSMakeList makes the keys and signs,
// the client with a ReleaseKey installs only what the administrator's key signed.
// Every refusal leaves the installation as it was, records "0" and the reason,
// shows the Error line and starts the client without waiting for anyone.
#include "tests/support/Scenario.h"

#include "lib/File.h"
#include "lib/ReleaseKey.h"

using namespace qvstest;

namespace
{
const wchar_t kList[] = L"HotUpdateFileList_Server.txt";
const wchar_t kRecord[] = L"HotUpdateFileList_Server.sha256";

struct Made
{
    DWORD exitCode;
    std::wstring out;
    std::wstring err;
};

Made MakeList(const std::wstring& arguments)
{
    Program::Options options;
    options.capture = true;
    Program tool(L"\"" + ExeFolder() + L"QVSMakeList.exe\" " + arguments, options);
    const DWORD exitCode = tool.Wait();
    return {exitCode, tool.out(), tool.err()};
}

std::wstring HexSha256(const std::string& bytes)
{
    SCSha256::Digest digest{};
    SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
    return SCSha256::ToHex(digest);
}

bool Same(const FILETIME& a, const FILETIME& b)
{
    return CompareFileTime(&a, &b) == 0;
}

// Waits for the next second: a list written by hand must look newer than the last.
FILETIME NextSecond()
{
    FILETIME start{};
    GetSystemTimeAsFileTime(&start);
    const auto second = [](const FILETIME& ft)
    { return ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000000; };
    FILETIME now = start;
    while (second(now) == second(start))
    {
        Sleep(20);
        GetSystemTimeAsFileTime(&now);
    }
    return now;
}

class SignedRelease : public Scenario
{
protected:
    TempDir keys;

    // A key made by QVSMakeList --new-key: its file, and the ReleaseKey line's value.
    struct Key
    {
        std::wstring file;
        std::wstring pub;
        std::wstring text;
        std::wstring id;
    };
    Key NewKey(const std::wstring& name)
    {
        Key key{keys / (name + L".key"), keys / (name + L".pub"), L"", L""};
        const Made made = MakeList(L"--new-key \"" + key.file + L"\"");
        EXPECT_EQ(0u, made.exitCode) << ToUtf8(made.err);
        const size_t at = made.out.find(L"\r\nReleaseKey=");
        EXPECT_NE(std::wstring::npos, at) << ToUtf8(made.out);
        key.text = made.out.substr(at + 13, 139);
        EXPECT_EQ(ToUtf8(key.text) + "\r\n", ReadBytes(key.pub));
        SCReleasePublicKey parsed;
        EXPECT_EQ(SCReleasePublicKey::ParseError::None, parsed.Parse(key.text));
        key.id = parsed.ShortId();
        return key;
    }
    // Signed in place, with the changes since the last signed release accepted.
    static std::wstring Sign(const Key& key) { return SignOnly(key) + L" --accept-changes"; }
    static std::wstring SignOnly(const Key& key) { return L"--sign \"" + key.file + L"\""; }
    static std::wstring From(const Key& key, const TempDir& build)
    {
        return SignOnly(key) + L" --from \"" + build.path() + L"\"";
    }

    // The log's line of an accepted release.
    std::wstring Accepted(unsigned nRelease, const Key& key) const
    {
        return L"The release in " + rel.unc() + L" is release " + std::to_wstring(nRelease) +
               L", signed by the trusted key " + key.id + L".";
    }

    SignedRelease() { signedStamps = true; }

    // A start that refuses the release: the dialog, then the client without a press
    // of OK; the installation as it was; "0", the reason and its Error line. A
    // release whose record refuses it is refused before the installation is walked.
    void ExpectRefused(const std::wstring& reason, bool bAfterWalk = false)
    {
        unverified.clear();
        const Before before = Take();
        Program program(inst.Command(), Program::CountingWindows());
        ASSERT_EQ(0u, program.Wait()) << "ends by itself";
        EXPECT_GT(program.WindowsCreated(), 0);
        EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 10000));
        EXPECT_EQ(before.nStarts + 1, inst.ClientStarts().size());
        EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
        EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
        EXPECT_EQ(reason, inst.Ini(L"UpdateFailureReason"));
        std::vector<std::wstring> messages = Messages(before, {});
        if (!bAfterWalk)
        {
            messages.resize(1); // the settings in force
        }
        messages.push_back(L"Error!.." + reason);
        EXPECT_EQ(LogText(messages), inst.Log());
    }
    std::wstring Refusal(const std::wstring& what) const
    {
        return L"The release in " + rel.unc() + L" " + what + L": nothing was installed.";
    }
};
} // namespace

TEST_F(SignedRelease, OnlyTheAdministratorsSignedReleasesInstallAndALostRecordIsRecovered)
{
    const Key admin = NewKey(L"admin");
    const Key other = NewKey(L"other");
    inst.Configure(rel.unc(), L"ReleaseKey=" + admin.text + L"\r\n");
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    rel.Put(L"docs\\new.txt", "new 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    unverified = Accepted(1, admin);
    ExpectUpdate({{L"bin\\app.dll"}, {L"docs\\new.txt"}});
    EXPECT_EQ(L"1", inst.Ini(L"InstalledReleaseNumber"));
    const std::string list1 = ReadBytes(rel.Path(kList));
    const std::string record1 = ReadBytes(rel.Path(kRecord));

    rel.Put(L"bin\\app.dll", "app 2", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    unverified = Accepted(2, admin);
    ExpectUpdate({{L"bin\\app.dll"}});
    EXPECT_EQ(L"2", inst.Ini(L"InstalledReleaseNumber"));
    const std::string record2 = ReadBytes(rel.Path(kRecord));

    // A file changed and the record made anew, unsigned.
    rel.Put(L"bin\\app.dll", "bad 3", T(2026, 3, 1));
    ASSERT_EQ(0u, rel.Publish());
    const std::wstring unsignedReason = L"The release in " + rel.unc() +
                                        L" is not signed, and this installation installs only "
                                        L"signed releases (ReleaseKey in QVS.ini): nothing was "
                                        L"installed.";
    ExpectRefused(unsignedReason);
    // Signed by another key, and numbered the largest but one: the desktop keeps its
    // number, and the administrator's key does not take it up.
    ASSERT_EQ(0u, rel.Publish(Sign(other) + L" --release-number 18446744073709551614"));
    ExpectRefused(Refusal(L"is signed by another key (" + other.id +
                          L") than the one this installation trusts (" + admin.id + L")"));
    EXPECT_EQ(L"2", inst.Ini(L"InstalledReleaseNumber"));
    EXPECT_EQ(7u, rel.Publish(Sign(admin)));
    EXPECT_NE(std::wstring::npos, rel.published().find(L"claims release 18446744073709551614 "
                                                       L"signed by key " + other.id + L", but "))
        << ToUtf8(rel.published());
    // The administrator's record with its signature cut off.
    ASSERT_EQ(0u, rel.Publish(Sign(admin) + L" --release-number 3"));
    const std::wstring record = ReadUtf16(rel.Path(kRecord));
    WriteUtf16(rel.Path(kRecord), record.substr(0, record.find(L"?signed\t\t")));
    ExpectRefused(unsignedReason);

    // Release 1 put back whole, its list touched to look newer.
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    WriteBytes(rel.Path(kRecord), record1);
    FILETIME now = NextSecond();
    WriteBytes(rel.Path(kList), list1, &now);
    ExpectRefused(Refusal(L"is release 1, older than release 2, which this installation has "
                          L"installed"));
    // Release 1's list beside release 2's signed record.
    WriteBytes(rel.Path(kRecord), record2);
    now = NextSecond();
    WriteBytes(rel.Path(kList), list1, &now);
    ExpectRefused(L"The release record in " + rel.unc() +
                  L" belongs to another release list: nothing was installed.");

    // Mended: the administrator signs again, as release 3 after the folder's record.
    NextSecond();
    rel.Put(L"bin\\app.dll", "app 3", T(2026, 4, 1));
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    unverified = Accepted(3, admin);
    ExpectUpdate({{L"bin\\app.dll"}});
    EXPECT_EQ(L"0", inst.Ini(L"FailedRunsOfRelease"));

    // The folder's record lost: the numbers start again at 1 and the desktops
    // refuse that, until the administrator continues them with --release-number.
    ASSERT_TRUE(DeleteFileW(rel.Path(kRecord).c_str()));
    rel.Put(L"bin\\app.dll", "app 4", T(2026, 5, 1));
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    ExpectRefused(Refusal(L"is release 1, older than release 3, which this installation has "
                          L"installed"));
    ASSERT_EQ(0u, rel.Publish(Sign(admin) + L" --release-number 4"));
    unverified = Accepted(4, admin);
    ExpectUpdate({{L"bin\\app.dll"}});
    EXPECT_EQ(L"4", inst.Ini(L"InstalledReleaseNumber"));
}

// The administrator's everyday path: the release published from a build folder the
// share's writers cannot reach. What the share holds afterwards is not what was signed.
TEST_F(SignedRelease, PublishedFromTheBuildFolderAFileChangedOnTheShareIsRefused)
{
    const Key admin = NewKey(L"admin");
    inst.Configure(rel.unc(), L"ReleaseKey=" + admin.text + L"\r\n");
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    TempDir build1;
    TempDir build2;
    const FILETIME t1 = T(2026, 1, 10);
    WriteBytes(build1 / L"bin\\app.dll", "app 1", &t1);
    WriteBytes(build1 / L"docs\\new.txt", "new 1", &t1);
    rel.Put(L"bin\\version.dll", "planted", t1);
    {
        // A build file that is being written stops the run: nothing is published.
        const UniqueFile held(CreateFileW((build1 / L"docs\\new.txt").c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(3u, rel.Publish(From(admin, build1)));
        EXPECT_EQ(1u, Scan(rel.local()).size());
    }
    ASSERT_EQ(0u, rel.Publish(From(admin, build1)));
    EXPECT_NE(std::wstring::npos,
              rel.published().find(L"are not listed (no desktop copies them):\r\n  " +
                                   rel.Path(L"bin\\version.dll") + L"\r\n"))
        << ToUtf8(rel.published());
    for (const auto& [file, state] : Scan(build1.path()))
    {
        EXPECT_TRUE(ReadBytes(rel.Path(file)) == state.bytes &&
                    Same(state.stamp, Stamp(rel.Path(file))))
            << ToUtf8(file);
    }
    // Changed on the share just after publishing: the desktop refuses it.
    rel.Put(L"bin\\app.dll", "bad 1", t1);
    unverified = Accepted(1, admin);
    ExpectUpdate({{L"bin\\app.dll", kNotRelease}, {L"docs\\new.txt"}});

    // The next build installs; then the administrator takes it back by publishing
    // the older build under a higher number.
    const FILETIME t2 = T(2026, 2, 1);
    WriteBytes(build2 / L"bin\\app.dll", "app 2", &t2);
    WriteBytes(build2 / L"bin\\two.dll", "two 2", &t2);
    ASSERT_EQ(0u, rel.Publish(From(admin, build2)));
    unverified = Accepted(2, admin);
    ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\two.dll"}});
    ASSERT_EQ(0u, rel.Publish(From(admin, build1) + L" --release-number 3"));
    EXPECT_NE(std::wstring::npos,
              rel.published().find(L"1 added, 1 changed, 1 removed since release 2"))
        << ToUtf8(rel.published());
    EXPECT_NE(std::wstring::npos,
              rel.published().find(L", signed as release 3 with key " + admin.id));
    EXPECT_EQ("app 1", ReadBytes(rel.Path(L"bin\\app.dll")));
    EXPECT_TRUE(Same(t1, Stamp(rel.Path(L"bin\\app.dll"))));
}

TEST_F(SignedRelease, ARotationPinsTheNextKeyAsItsCopyBeginsAndTheOldKeyIsRefusedAfterIt)
{
    const Key oldKey = NewKey(L"old");
    const Key newKey = NewKey(L"new");
    inst.Configure(rel.unc(), L"ReleaseKey=" + oldKey.text + L"\r\n");
    inst.Put(L"bin\\held.dll", "held 0", T(2025, 6, 1));
    rel.Put(L"bin\\held.dll", "held 1", T(2026, 1, 10));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish(Sign(oldKey) + L" --next-key \"" + newKey.pub + L"\""));
    const std::wstring rotating = L"The release in " + rel.unc() +
                                  L" is release 1, signed by the trusted key " + oldKey.id +
                                  L"; it names the next key " + newKey.id +
                                  L", which this installation trusts from now on.";
    {
        // The rotating release fails half-way, run after run: the pin has moved,
        // and the release is still taken.
        // (Its file on the share is held, as a copy still being written is.)
        const UniqueFile held(CreateFileW(rel.Path(L"bin\\held.dll").c_str(), GENERIC_WRITE, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        unverified = rotating;
        ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\held.dll", ERROR_SHARING_VIOLATION}});
        EXPECT_EQ(newKey.text, inst.Ini(L"PinnedReleaseKey"));
        EXPECT_EQ(oldKey.text, inst.Ini(L"PinnedFromReleaseKey"));
        EXPECT_EQ(64u, inst.Ini(L"PinnedByRecord").size());
        EXPECT_EQ(L"1", inst.Ini(L"InstalledReleaseNumber"));
        ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\held.dll", ERROR_SHARING_VIOLATION}});
    }
    // The new key's release, though the rotating one never completed.
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish(Sign(newKey)));
    unverified = Accepted(2, newKey);
    ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\held.dll"}});
    EXPECT_EQ(L"2", inst.Ini(L"InstalledReleaseNumber"));

    // The old key no longer signs anything this installation takes.
    rel.Put(L"bin\\app.dll", "app 3", T(2026, 3, 1));
    // Nor does it take up the new key's numbers: that release does not name it next.
    EXPECT_EQ(7u, rel.Publish(Sign(oldKey)));
    ASSERT_EQ(0u, rel.Publish(Sign(oldKey) + L" --release-number 3"));
    ExpectRefused(Refusal(L"is signed by another key (" + oldKey.id +
                          L") than the one this installation trusts (" + newKey.id + L")"));
    EXPECT_EQ(newKey.text, inst.Ini(L"PinnedReleaseKey"));
}

// Also run by e2e/event-log.sh, which reads the warning event it makes.
TEST_F(SignedRelease, ABrokenReleaseKeyInstallsNothingUntilItIsMended)
{
    const Key admin = NewKey(L"admin");
    inst.Configure(rel.unc(), L"ReleaseKey=ecdsa-p256:" + admin.text.substr(12) + L"\r\n");
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    ExpectRefused(L"The ReleaseKey in QVS.ini is not a release key (it must be ecdsa-p256: and "
                  L"128 lower-case hex digits, as QVSMakeList --new-key prints it): nothing was "
                  L"installed from " + rel.unc() + L".");
    EXPECT_EQ(L"<missing>", inst.Ini(L"InstalledReleaseNumber"));
    // Mended: the failed release is run again at the next start.
    ASSERT_TRUE(WritePrivateProfileStringW(L"HotUpdate", L"ReleaseKey", admin.text.c_str(),
                                           (inst.bin() + L"\\QVS.ini").c_str()));
    unverified = Accepted(1, admin);
    ExpectUpdate({{L"bin\\app.dll"}});
}

TEST_F(SignedRelease, QVSMakeListRefusesWhatCannotSignBeforeWritingAnything)
{
    const Key admin = NewKey(L"admin");
    // No key is made over another.
    const Made again = MakeList(L"--new-key \"" + admin.file + L"\"");
    EXPECT_EQ(6u, again.exitCode);
    EXPECT_NE(std::wstring::npos, again.err.find(L"exists already")) << ToUtf8(again.err);
    std::string damaged = ReadBytes(admin.file);
    damaged[damaged.size() - 10] ^= 0x01;
    WriteBytes(keys / L"damaged.key", damaged);
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    const std::string list = ReadBytes(rel.Path(kList));
    const std::string record = ReadBytes(rel.Path(kRecord));
    // A share writer replaces a file and plants a library beside it.
    rel.Put(L"bin\\app.dll", "bad 2", T(2026, 2, 1));
    rel.Put(L"bin\\version.dll", "planted", T(2026, 2, 1));
    const struct
    {
        std::wstring options;
        DWORD exitCode;
        const wchar_t* says;
    } refused[] = {
        {L"--sign \"" + (keys / L"missing.key") + L"\"", 6, L"cannot read the key file"},
        {L"--sign \"" + keys / L"damaged.key" + L"\"", 6, L"cannot be unsealed"},
        {L"--sign \"" + admin.pub + L"\"", 6, L"is not a release key file"},
        {Sign(admin) + L" --next-key \"" + admin.file + L"\"", 6, L"is not a public key line"},
        {Sign(admin) + L" --next-key \"" + admin.pub + L"\"", 6, L"is the signing key itself"},
        {L"--next-key \"" + admin.pub + L"\"", 1, L"go with --sign"},
        {L"--from \"" + keys.path() + L"\"", 1, L"go with --sign"},
        {Sign(admin) + L" --from \"" + keys.path() + L"\"", 1, L"give one of them"},
        {SignOnly(admin) + L" --from \"" + rel.Path(L"bin") + L"\"", 1, L"lies in it"},
        {SignOnly(admin) + L" --from \"" + rel.local() + L"\\..\"", 1, L"lies in the build folder"},
        {Sign(admin) + L" --release-number 18446744073709551616", 1, L"to 18446744073709551615"},
        // Signed in place, the changes are shown, and nothing is signed unseen.
        {SignOnly(admin), 8, L"then sign with --accept-changes"},
    };
    for (const auto& c : refused)
    {
        const Made made = MakeList(c.options + L" \"" + rel.local() + L"\"");
        EXPECT_EQ(c.exitCode, made.exitCode) << ToUtf8(c.options);
        EXPECT_NE(std::wstring::npos, made.err.find(c.says)) << ToUtf8(made.err);
        EXPECT_TRUE(ReadBytes(rel.Path(kList)) == list && ReadBytes(rel.Path(kRecord)) == record)
            << ToUtf8(c.options);
    }
    const Made shown = MakeList(SignOnly(admin) + L" \"" + rel.local() + L"\"");
    EXPECT_EQ(L"QVSMakeList: 1 added, 1 changed, 0 removed since release 1 (signed by key " +
                  admin.id + L"):\r\n  added    " + rel.unc() +
                  L"\\bin\\version.dll  7 bytes  sha256 " + HexSha256("planted") +
                  L"\r\n  changed  " + rel.unc() + L"\\bin\\app.dll  5 bytes  sha256 " +
                  HexSha256("bad 2") + L"\r\n",
              shown.out);
    const Made accepted = MakeList(Sign(admin) + L" \"" + rel.local() + L"\"");
    EXPECT_EQ(0u, accepted.exitCode) << ToUtf8(accepted.err);
    EXPECT_NE(std::wstring::npos, accepted.out.find(L", signed as release 2 with key " + admin.id));
    // A folder record that cannot be read does not tell the number.
    WriteBytes(rel.Path(kRecord), "not a record");
    const Made unknown = MakeList(Sign(admin) + L" \"" + rel.local() + L"\"");
    EXPECT_EQ(7u, unknown.exitCode);
    EXPECT_NE(std::wstring::npos, unknown.err.find(L"--release-number")) << ToUtf8(unknown.err);
    EXPECT_EQ("not a record", ReadBytes(rel.Path(kRecord)));
    const Made given = MakeList(Sign(admin) + L" --release-number 9 \"" + rel.local() + L"\"");
    EXPECT_EQ(0u, given.exitCode) << ToUtf8(given.err);
    EXPECT_NE(std::wstring::npos, given.out.find(L", signed as release 9 with key " + admin.id))
        << ToUtf8(given.out);
    // The administrator's record with its number raised: the signature does not hold.
    std::wstring raised = ReadUtf16(rel.Path(kRecord));
    raised.replace(raised.find(L"\t\t9\t\t"), 5, L"\t\t18446744073709551615\t\t");
    WriteUtf16(rel.Path(kRecord), raised);
    const Made forged = MakeList(Sign(admin) + L" \"" + rel.local() + L"\"");
    EXPECT_EQ(7u, forged.exitCode);
    EXPECT_NE(std::wstring::npos, forged.err.find(L"does not verify with the signing key"))
        << ToUtf8(forged.err);
    const Made largest =
        MakeList(Sign(admin) + L" --release-number 18446744073709551615 \"" + rel.local() + L"\"");
    EXPECT_NE(std::wstring::npos, largest.out.find(L", signed as release 18446744073709551615 "))
        << ToUtf8(largest.err);
}

namespace
{
void SetStamp(const std::wstring& path, const FILETIME& ft)
{
    const UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &ft)) << ToUtf8(path);
}

// A file of that many bytes that takes no room: its size is all a client may look at.
void WriteHuge(const std::wstring& path, LONGLONG nBytes, const FILETIME& ft)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    LARGE_INTEGER size{};
    size.QuadPart = nBytes;
    ASSERT_TRUE(file && SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) &&
                SetEndOfFile(file.get()) && SetFileTime(file.get(), nullptr, nullptr, &ft));
}
} // namespace

// A share writer without the key dates the list and a file 2079 and plants a list
// and a record of hundreds of megabytes and a record that claims the largest number:
// each is harmless or refused before anything of it is written or trusted, the
// installation unchanged, the client started. The administrator's releases after
// them install whole, his way back to an older build under a new number too, and a
// ReleaseKey changed by hand counts its releases afresh.
TEST_F(SignedRelease, AShareWriterCanNeitherFreezeNorExhaustTheDesktops)
{
    const Key admin = NewKey(L"admin");
    inst.Configure(rel.unc(), L"ReleaseKey=" + admin.text + L"\r\n");
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    rel.Put(L"data\\conf.dat", "conf 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    unverified = Accepted(1, admin);
    ExpectUpdate({{L"bin\\app.dll"}, {L"data\\conf.dat"}});

    // The list dated 2079, bytes unchanged: run once, nothing copied; then only the client.
    const FILETIME ahead = T(2079, 6, 1);
    SetStamp(rel.Path(kList), ahead);
    ExpectUpdate({});
    ExpectClientOnly();
    // Release 2, its app.dll dated 2079 on the share once published: installed with
    // the signed stamp, so release 3 after it installs too.
    for (const unsigned nRelease : {2u, 3u})
    {
        rel.Put(L"bin\\app.dll", "app " + std::to_string(nRelease), T(2026, static_cast<WORD>(1 + nRelease), 1));
        ASSERT_EQ(0u, rel.Publish(Sign(admin)));
        SetStamp(rel.Path(L"bin\\app.dll"), ahead);
        unverified = Accepted(nRelease, admin);
        ExpectUpdate({{L"bin\\app.dll"}});
    }
    // A file dated 2079 before the administrator signed: a bad release.
    SetStamp(rel.Path(L"bin\\app.dll"), T(2026, 4, 1));
    SetStamp(rel.Path(L"data\\conf.dat"), ahead);
    ASSERT_EQ(0u, rel.Publish(Sign(admin)));
    std::wstring aheadStamp;
    ASSERT_TRUE(ListStampOfFileTime(ahead, aheadStamp));
    ExpectRefused(L"The release list in " + rel.unc() + L" gives " + rel.unc() +
                      L"\\data\\conf.dat the time stamp " + aheadStamp +
                      L", more than a day ahead of this computer's clock: nothing was installed.",
                  true);

    // The administrator's way back: release 1's build, older stamps, under a new number.
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    rel.Put(L"data\\conf.dat", "conf 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish(Sign(admin) + L" --release-number 9"));
    unverified = Accepted(9, admin);
    ExpectUpdate({{L"bin\\app.dll"}});

    // A record that claims the largest number, and a list and a record of hundreds of
    // megabytes (each newer): refused, the local list and the number as they were.
    const std::string list = ReadBytes(rel.Path(kList));
    const std::string record = ReadBytes(rel.Path(kRecord));
    const std::string localList = ReadBytes(inst.Path(kList));
    std::wstring forged = ReadUtf16(rel.Path(kRecord));
    const size_t at = forged.find(L"\t\trelease\t\t9\t\t");
    ASSERT_NE(std::wstring::npos, at);
    forged.replace(at, 14, L"\t\trelease\t\t18446744073709551614\t\t");
    WriteUtf16(rel.Path(kRecord), forged);
    SetStamp(rel.Path(kList), Plus(ahead, 1));
    ExpectRefused(L"The signature of the release in " + rel.unc() +
                  L" does not match its record: nothing was installed.");
    WriteBytes(rel.Path(kRecord), record);
    WriteHuge(rel.Path(kList), 300ll << 20, Plus(ahead, 2));
    ExpectRefused(L"The release list " + rel.unc() + L"\\HotUpdateFileList_Server.txt is " +
                  std::to_wstring(300ll << 20) + L" bytes, more than the " +
                  std::to_wstring(64ll << 20) + L" bytes a release list may hold: nothing was installed.");
    WriteBytes(rel.Path(kList), list, &ahead);
    WriteHuge(rel.Path(kRecord), 200ll << 20, ahead);
    SetStamp(rel.Path(kList), Plus(ahead, 3));
    ExpectRefused(L"The release record in " + rel.unc() + L" cannot be read (larger than the " +
                  std::to_wstring(128ll << 20) + L" bytes a release record may hold), and this "
                  L"installation installs only signed releases (ReleaseKey in QVS.ini): nothing was installed.");
    EXPECT_EQ(localList, ReadBytes(inst.Path(kList)));
    EXPECT_EQ(L"9", inst.Ini(L"InstalledReleaseNumber"));
    WriteBytes(rel.Path(kRecord), record);

    // A new key put into QVS.ini by hand: its releases count from 1 again.
    const Key next = NewKey(L"next");
    ASSERT_TRUE(WritePrivateProfileStringW(L"HotUpdate", L"ReleaseKey", next.text.c_str(),
                                           (inst.bin() + L"\\QVS.ini").c_str()));
    rel.Put(L"bin\\app.dll", "app 10", T(2026, 6, 1));
    ASSERT_EQ(0u, rel.Publish(Sign(next) + L" --release-number 1"));
    unverified = Accepted(1, next);
    ExpectUpdate({{L"bin\\app.dll"}});
    EXPECT_EQ(L"1", inst.Ini(L"InstalledReleaseNumber"));
}
