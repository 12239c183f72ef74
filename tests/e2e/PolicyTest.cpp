// Settings pushed by Group Policy, written into the registry with reg.exe as an
// administrator's script would: the machine's policy comes before the user's, both
// before QVS.ini; a value the program cannot use is named and the next source
// applies; a policy that turns updates off starts the client and touches nothing.
// Run only by e2e/policy.sh, in a Wine prefix of their own: the values would change
// what every other test's programs read.
#include "tests/support/Scenario.h"

#include "lib/Policy.h"

using namespace qvstest;

namespace
{
const std::wstring kMachine = L"the machine policy HKLM\\" + std::wstring(kPolicyKey);
const std::wstring kUser = L"the user policy HKCU\\" + std::wstring(kPolicyKey);
// A public key of QVSMakeList --new-key; no release here is signed by it.
const wchar_t kReleaseKey[] = L"ecdsa-p256:6d82257853b01a70bfa4d6862e6a060367b2d33db4b8cbe154c85864"
                              L"d56c72c59d8693862f1eef76df59d9401195e6a8abc2de5baeff87cd832ea3ffc075e100";

std::wstring InForce(const std::wstring& sourceFolder, const std::wstring& releaseKey)
{
    return L"Settings in force: SourceFolder from " + sourceFolder + L", ReleaseKey " +
           (releaseKey.empty() ? L"not set" : L"from " + releaseKey) + L".";
}

class Policy : public Scenario
{
protected:
    explicit Policy(const wchar_t* releaseBase = L"QVS_UNC_LOCAL") : Scenario(L"inst", releaseBase)
    {
        if (_wgetenv(L"QVS_POLICY_PREFIX") == nullptr)
        {
            throw std::runtime_error("run through e2e/policy.sh, in a prefix of its own");
        }
        Clear();
    }
    ~Policy() override { Clear(); }
    static void Clear()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kPolicyKey);
    }
    // hive: HKLM or HKCU; type: REG_SZ or REG_DWORD.
    static void Set(const wchar_t* hive, const wchar_t* name, const wchar_t* type,
                    const std::wstring& data)
    {
        EXPECT_EQ(0u, RunProgram(L"reg.exe add " + std::wstring(hive) + L"\\" + kPolicyKey + L" /v " +
                                 name + L" /t " + type + L" /d \"" + data + L"\" /f"));
    }
};

class PolicyStalled : public Policy
{
protected:
    PolicyStalled() : Policy(L"QVS_STALL_FOLDER") {}
};
} // namespace

TEST_F(Policy, TheMachinesSourceFolderComesBeforeTheUsersAndTheUsersBeforeQVSIni)
{
    Release decoy;
    decoy.Put(L"bin\\app.dll", "decoy", T(2026, 3, 1));
    ASSERT_EQ(0u, decoy.Publish());
    inst.Configure(decoy.unc());
    Set(L"HKCU", L"SourceFolder", L"REG_SZ", decoy.unc());
    Set(L"HKLM", L"SourceFolder", L"REG_SZ", rel.unc());
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    settings = InForce(kMachine, {});
    ExpectUpdate({{L"bin\\app.dll"}});

    // The machine's value gone: the user's applies, still before QVS.ini's.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPolicyKey, L"SourceFolder"));
    Set(L"HKCU", L"SourceFolder", L"REG_SZ", rel.unc());
    rel.Put(L"docs\\new.txt", "new 2", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());
    settings = InForce(kUser, {});
    ExpectUpdate({{L"docs\\new.txt"}});
}

TEST_F(Policy, TheMachinesReleaseKeyRefusesAnUnsignedReleaseThatQVSIniAloneTakes)
{
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    Set(L"HKLM", L"ReleaseKey", L"REG_SZ", kReleaseKey);
    const Before before = Take();
    Program program(inst.Command(), Program::CountingWindows());
    ASSERT_EQ(0u, program.Wait()) << "ends by itself, without OK";
    EXPECT_GT(program.WindowsCreated(), 0);
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 10000));
    EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
    const std::wstring reason = L"The release in " + rel.unc() +
                                L" is not signed, and this installation installs only signed "
                                L"releases (ReleaseKey in " + kMachine + L"): nothing was installed.";
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(reason, inst.Ini(L"UpdateFailureReason"));
    settings = InForce(L"QVS.ini", kMachine);
    // Refused on its record, before the installation is walked.
    std::vector<std::wstring> messages = Messages(before, {});
    messages.resize(1);
    messages.push_back(L"Error!.." + reason);
    EXPECT_EQ(LogText(messages), inst.Log());

    // The policy gone, QVS.ini alone takes the same release.
    Clear();
    settings.clear();
    ExpectUpdate({{L"bin\\app.dll"}});
}

TEST_F(PolicyStalled, UpdatesDisabledStartsTheClientAtOnceAndNeverAsksTheShare)
{
    inst.Configure(rel.unc(), L"UpdateSucceeded=0\r\n");
    Take(); // the release's files, seen once while its folder answers
    // Any question to the release folder would wait: the share does not answer.
    const Stall stall(rel);
    Set(L"HKLM", L"UpdatesDisabled", L"REG_DWORD", L"1");
    for (const wchar_t* arguments : {L"", L"/force"})
    {
        SCOPED_TRACE(ToUtf8(arguments));
        const Before before = Take();
        const ULONGLONG began = GetTickCount64();
        Program program(inst.Command(arguments), Program::CountingWindows());
        ASSERT_EQ(0u, program.Wait(10000));
        EXPECT_LT(GetTickCount64() - began, 2500u) << "within the deadline of 3 s";
        EXPECT_EQ(0, program.WindowsCreated());
        EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 10000));
        EXPECT_EQ(before.ini, ReadBytes(inst.bin() + L"\\QVS.ini"));
        EXPECT_EQ("Updates are turned off by policy (UpdatesDisabled in " + ToUtf8(kMachine) +
                      "): QVS.exe was started without updating.\r\n",
                  inst.Log());
        EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
    }
}

TEST_F(PolicyStalled, UnusableValuesAreNamedAndTheNextSourceApplies)
{
    // The machine's values: a folder of the wrong type, a deadline out of range, and
    // updates "turned off" as text; the user's deadline is the one in force.
    Set(L"HKLM", L"SourceFolder", L"REG_DWORD", L"1");
    Set(L"HKLM", L"ReleaseFolderTimeoutSeconds", L"REG_DWORD", L"601");
    Set(L"HKLM", L"UpdatesDisabled", L"REG_SZ", L"1");
    Set(L"HKCU", L"ReleaseFolderTimeoutSeconds", L"REG_DWORD", L"1");
    inst.Configure(rel.unc(), L"ReleaseFolderTimeoutSeconds=5\r\n");
    const Stall stall(rel);
    Program program(inst.Command(L"/force"));
    const std::wstring notAnswering =
        L"The release folder " + rel.unc() + L" did not answer within 1 seconds.";
    EXPECT_NE(std::wstring::npos, program.WaitForText(L"Error!..").find(notAnswering));
    program.PressOk();
    EXPECT_EQ(0u, program.Wait());
    EXPECT_EQ(notAnswering, inst.Ini(L"UpdateFailureReason"));
    const std::wstring ignored = L"The policy value %s in HKLM\\" + std::wstring(kPolicyKey) +
                                 L" is ignored, and the next source applies: ";
    const auto line = [&ignored](const wchar_t* name, const wchar_t* why)
    {
        std::wstring text = ignored;
        return text.replace(text.find(L"%s"), 2, name) + why + L".";
    };
    EXPECT_EQ(LogText({line(L"SourceFolder", L"it is not text (REG_SZ)"),
                       line(L"ReleaseFolderTimeoutSeconds", L"601 is not a number from 1 to 600"),
                       line(L"UpdatesDisabled", L"it is not a number (REG_DWORD)"),
                       InForce(L"QVS.ini", {}), L"Error!.." + notAnswering}),
              inst.Log());
}
