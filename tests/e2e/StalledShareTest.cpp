// A release folder that does not answer (the server away, a VPN still connecting)
// never holds the user back: the everyday start reaches the client within its
// deadline and changes nothing; a forced run says why and keeps answering.
#include "tests/support/Scenario.h"

#include <atomic>
#include <thread>

using namespace qvstest;

namespace
{
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

// Seconds from a performance counter value to the client's last recorded start.
double SecondsToClient(const Installation& inst, LONGLONG from)
{
    const std::wstring start = inst.ClientStarts().back();
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(std::stoll(start.substr(start.rfind(L'\t') + 1)) - from) /
           static_cast<double>(frequency.QuadPart);
}

// Sends WM_NULL to the program's dialog every 100 ms from a thread of its own while
// it lives, and keeps the longest answer (a dialog that does not answer within 1 s
// counts as 1 s and more).
class AnswerWatch
{
public:
    explicit AnswerWatch(const Program& program)
        : m_thread([this, &program]
                   {
                       const HWND dialog = program.Dialog(10000);
                       m_bFound = dialog != nullptr;
                       while (dialog != nullptr && !m_bStop && IsWindow(dialog))
                       {
                           const LONGLONG before = Counter();
                           DWORD_PTR result = 0;
                           const bool bAnswered = SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL,
                                                                      1000, &result) != 0;
                           LARGE_INTEGER frequency{};
                           QueryPerformanceFrequency(&frequency);
                           const double seconds = static_cast<double>(Counter() - before) /
                                                  static_cast<double>(frequency.QuadPart);
                           if (IsWindow(dialog))
                           {
                               m_longest = std::max(m_longest, bAnswered ? seconds : 1.0);
                           }
                           Sleep(100);
                       }
                   })
    {
    }
    ~AnswerWatch() { Stop(); }
    AnswerWatch(const AnswerWatch&) = delete;
    AnswerWatch& operator=(const AnswerWatch&) = delete;
    // The longest answer, once the dialog is gone (or the watch is stopped).
    double Longest()
    {
        Stop();
        return m_longest;
    }
    bool Found()
    {
        Stop();
        return m_bFound;
    }

private:
    void Stop()
    {
        m_bStop = true;
        if (m_thread.joinable())
        {
            m_thread.join();
        }
    }
    std::atomic<bool> m_bStop{false};
    bool m_bFound = false;
    double m_longest = 0;
    std::thread m_thread;
};
} // namespace

TEST_F(StalledShare, TheEverydayStartReachesTheClientInTimeAndTheNextOneTakesTheRelease)
{
    inst.Put(L"bin\\app.dll", "app 1", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    // Answering, through the same share: the release is taken.
    ExpectUpdate({{L"bin\\app.dll"}});

    // Seconds from a start to the client's start, as the stand-in client recorded it.
    const auto toClient = [&](size_t nStartsBefore)
    {
        const LONGLONG launched = Counter();
        Program program(inst.Command());
        // The program ends by itself, its call to the share (if any) left behind.
        EXPECT_EQ(0u, program.Wait(10000));
        EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > nStartsBefore; }, 5000));
        const std::wstring start = inst.ClientStarts().back();
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(std::stoll(start.substr(start.rfind(L'\t') + 1)) - launched) /
               static_cast<double>(frequency.QuadPart);
    };
    // What a start with nothing to update costs on this machine now: the stalled
    // start may take the 3 s deadline more, and half a second.
    const double answering = toClient(inst.ClientStarts().size());

    rel.Put(L"bin\\app.dll", "app 3", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());
    {
        const Before before = Take();
        const Stall stall(rel);
        const double seconds = toClient(before.nStarts);
        EXPECT_LT(seconds, 3.5 + answering)
            << "the client started " << seconds << " s after the launch (" << answering
            << " s with the share answering)";
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
    inst.WaitUntilNoRun();
    // It cannot read the release's list: "0", the reason, and it waits for the user.
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(NotAnswering(1), inst.Ini(L"UpdateFailureReason"));
    EXPECT_FALSE(program.Ended());
    EXPECT_EQ(before.nStarts, inst.ClientStarts().size());
    EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
    program.PressOk();
    EXPECT_EQ(0u, program.Wait());
}

TEST_F(StalledShare, AShareThatStopsDuringTheRunNeverHoldsTheUserAndTheNextStartCompletes)
{
    // A stall, as an administrator sets the deadline for it.
    constexpr int kStallSeconds = 2;
    inst.Configure(rel.unc(), L"ReleaseFolderStallSeconds=2\r\n");
    const std::wstring record = L"HotUpdateFileList_Server.sha256";
    const std::wstring list = L"HotUpdateFileList_Server.txt";
    const auto stalled = [&](const std::wstring& folder, const std::wstring& file)
    {
        return L"The release folder " + folder + L" stopped answering: " + file +
               L" made no progress for " + std::to_wstring(kStallSeconds) + L" seconds.";
    };
    // One start while the share stops: for the named files from the start on, or
    // (no names) for everything once the nth temporary copy in bin was made. The
    // dialog answers throughout, the client starts within the deadline and 4 s of
    // the stall, the program ends by itself, every file is old or new, and QVS.ini
    // and the log say why.
    const auto stallRun = [&](const std::string& names, size_t nthCopy, const std::wstring& reason)
    {
        SCOPED_TRACE(ToUtf8(reason));
        const Before before = Take();
        std::unique_ptr<Stall> stall;
        if (!names.empty())
        {
            stall = std::make_unique<Stall>(rel, names);
        }
        {
            CopyWatch watch(inst.root());
            Program program(inst.Command());
            AnswerWatch answers(program);
            if (stall == nullptr)
            {
                ASSERT_TRUE(watch.WaitFor(program, nthCopy, {L"bin"}));
                stall = std::make_unique<Stall>(rel);
            }
            const LONGLONG stalledAt = Counter();
            EXPECT_EQ(0u, program.Wait(kStallSeconds * 1000 + 8000));
            ASSERT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 5000));
            const double seconds = SecondsToClient(inst, stalledAt);
            EXPECT_LT(seconds, kStallSeconds + 4.0) << "the client started " << seconds << " s after the stall";
            EXPECT_TRUE(answers.Found());
            EXPECT_LT(answers.Longest(), 1.0);
        }
        EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
        EXPECT_EQ(reason, inst.Ini(L"UpdateFailureReason"));
        const std::string log = inst.Log();
        EXPECT_NE(std::string::npos, log.find("Error!.." + ToUtf8(reason) + "\r\n")) << log;
        const Tree after = Scan(inst.root(), inst.Volatile());
        for (const auto& [file, state] : after)
        {
            const bool bOld = before.tree.count(file) != 0 && before.tree.at(file) == state;
            const bool bNew = before.release.count(file) != 0 && before.release.at(file) == state;
            EXPECT_TRUE(bOld || bNew || file.find(L"~QVSCopy-") != std::wstring::npos)
                << "half-installed: " << ToUtf8(file);
        }
    };

    inst.Put(L"bin\\app.dll", "app 1", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    rel.Put(L"bin\\big.dll", Content(16u << 20, "big 2"), T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    // Release 1: the share stops as the record is read; nothing is copied.
    stallRun(ToUtf8(record), 0, stalled(rel.unc(), rel.unc() + L"\\" + record));
    ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\big.dll"}});

    // Release 2: the share stops in the middle of the large file's copy.
    rel.Put(L"bin\\app.dll", "app 3", T(2026, 2, 1));
    rel.Put(L"bin\\big.dll", Content(16u << 20, "big 3"), T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());
    const std::vector<std::wstring> order = Take().copyOrder;
    const size_t nBig = static_cast<size_t>(std::find(order.begin(), order.end(), L"bin\\big.dll") - order.begin()) + 1;
    stallRun({}, nBig, stalled(rel.unc() + L"\\bin", Upper(rel.unc() + L"\\bin\\big.dll")));
    std::vector<Copy> left;
    for (const wchar_t* file : {L"bin\\app.dll", L"bin\\big.dll"})
    {
        if (!(Scan(inst.root(), inst.Volatile())[file] == Take().release[file]))
        {
            left.push_back({file});
        }
    }
    EXPECT_FALSE(left.empty());
    ExpectUpdate(left);

    // Release 3: the share stops while the release list is copied.
    rel.Put(L"bin\\app.dll", "app 4", T(2026, 3, 1));
    ASSERT_EQ(0u, rel.Publish());
    stallRun("read:" + ToUtf8(list), 0, stalled(rel.unc(), rel.unc() + L"\\" + list));
    ExpectUpdate({{L"bin\\app.dll"}});

    // Release 4: the share stops as the large file, built from the blocks its installed
    // version holds, reads those that version lacks (the next start does the same, and
    // reads less than 1 MB of it).
    std::string big = Take().release.at(L"bin\\big.dll").bytes;
    big.replace(8u << 20, 10000, Content(10000, "big 4"));
    rel.Put(L"bin\\big.dll", big, T(2026, 4, 1));
    ASSERT_EQ(0u, rel.Publish());
    stallRun("read:big.dll", 0, stalled(rel.unc() + L"\\bin", Upper(rel.unc() + L"\\bin\\big.dll")));
    ExpectUpdate({{L"bin\\big.dll"}});
    EXPECT_LT(bytesRead, 1u << 20);
}
