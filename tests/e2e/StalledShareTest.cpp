// A release folder that does not answer (the server away, a VPN still connecting)
// never holds the user back: the everyday start reaches the client within its
// deadline and changes nothing; a forced run says why and keeps answering.
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
// While it lives, every access to the release's folder on the stalling share waits.
// Made before any program starts there: an open already under way when a share
// stops would hold Wine's server itself.
class Stall
{
public:
    explicit Stall(const Release& rel)
    {
        const wchar_t* control = _wgetenv(L"QVS_STALL_CONTROL");
        if (control == nullptr)
        {
            throw std::runtime_error("QVS_STALL_CONTROL is not set: run the tests through scripts/test");
        }
        m_path = std::wstring(control) + L"\\" + rel.name() + L".stall";
        WriteBytes(m_path, "");
    }
    ~Stall() { DeleteFileW(m_path.c_str()); }
    Stall(const Stall&) = delete;
    Stall& operator=(const Stall&) = delete;

private:
    std::wstring m_path;
};

class StalledShare : public Scenario
{
protected:
    StalledShare() : Scenario(L"inst", L"QVS_STALL_FOLDER") {}

    std::wstring NotAnswering(int nSeconds = 3) const
    {
        return L"The release folder " + rel.unc() + L" did not answer within " +
               std::to_wstring(nSeconds) + L" seconds.";
    }
};

LONGLONG Counter()
{
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}
} // namespace

TEST_F(StalledShare, TheEverydayStartReachesTheClientInTimeAndTheNextOneTakesTheRelease)
{
    inst.Put(L"bin\\app.dll", "app 1", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    // Answering, through the same share: the release is taken.
    ExpectUpdate({{L"bin\\app.dll"}});

    rel.Put(L"bin\\app.dll", "app 3", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());
    {
        const Before before = Take();
        const Stall stall(rel);
        const LONGLONG launched = Counter();
        Program program(inst.Command());
        // The program ends by itself, its call to the share left behind.
        EXPECT_EQ(0u, program.Wait(10000));
        ASSERT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 5000));
        const std::wstring start = inst.ClientStarts().back();
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        const double seconds = static_cast<double>(std::stoll(start.substr(start.rfind(L'\t') + 1)) - launched) /
                               static_cast<double>(frequency.QuadPart);
        EXPECT_LT(seconds, 4.0) << "the client started " << seconds << " s after the launch";
        // No update ran: QVS.ini is as it was, the log says why.
        EXPECT_EQ(before.ini, ReadBytes(inst.bin() + L"\\QVS.ini"));
        EXPECT_EQ(ToUtf8(NotAnswering()) + "\r\n", inst.Log());
        EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
    }
    // The share back, with its newer release: the next start takes it.
    ExpectUpdate({{L"bin\\app.dll"}});
}

TEST_F(StalledShare, AForcedRunKeepsAnsweringWhileItWaitsThenRecordsWhy)
{
    // The deadline as an administrator sets it.
    inst.Configure(rel.unc(), L"ReleaseFolderTimeoutSeconds=1\r\n");
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    const Before before = Take();
    const Stall stall(rel);
    Program program(inst.Command(L"/force"));
    const HWND dialog = program.Dialog(3000);
    ASSERT_NE(nullptr, dialog);
    // The dialog answers while the share does not: a message sent to it comes
    // back within a second, time and again.
    for (int i = 0; i < 5 && !program.Ended(); ++i)
    {
        DWORD_PTR result = 0;
        EXPECT_NE(0, SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result))
            << "poll " << i;
        Sleep(150);
    }
    const std::wstring text = program.WaitForText(L"Error!.." + NotAnswering(1));
    EXPECT_NE(L"", text);
    // It cannot read the release's list: "0", the reason, and it waits for the user.
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(NotAnswering(1), inst.Ini(L"UpdateFailureReason"));
    EXPECT_FALSE(program.Ended());
    EXPECT_EQ(before.nStarts, inst.ClientStarts().size());
    EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
    program.PressOk();
    EXPECT_EQ(0u, program.Wait());
}
