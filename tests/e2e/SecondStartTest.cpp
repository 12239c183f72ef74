// Two starts of one installation at once: the second waits, showing and touching
// nothing, while the first one's update works; then it only starts the client.
#include "lib/File.h"
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
class SecondStart : public Scenario
{
};
} // namespace

TEST_F(SecondStart, WaitsWhileAnUpdateWorksThenOnlyStartsTheClient)
{
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    // A release list of some 40 MiB more, each line naming the installed QVS.exe with
    // an older stamp: the first start works on it for a while. Sized in bytes, not
    // lines: the lines are as long as the share's path, and a list past the bound a
    // desktop takes would be refused at once.
    const std::wstring list = L"HotUpdateFileList_Server.txt";
    const std::wstring line = rel.unc() + L"\\bin\\\t\tQVS.exe\t\t01/01/20 00:00:00\r\n";
    const size_t nLines = (40u << 20) / (line.size() * sizeof(wchar_t));
    std::wstring text = ReadUtf16(rel.Path(list));
    text.reserve(text.size() + nLines * line.size());
    for (size_t i = 0; i < nLines; ++i)
    {
        text += line;
    }
    ASSERT_LT(text.size() * sizeof(wchar_t), kMaxListBytes);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    rel.Put(list, Utf16Bytes(text), now);
    const Before before = Take();

    CopyWatch watch(inst.root());
    Program first(inst.Command());
    // The first takes the release list into the root; then the second starts.
    ASSERT_TRUE(watch.WaitFor(first, 1, {L""}));
    Program second(inst.Command());
    bool bSecondMoved = false;
    bool bOverlapped = false;
    // Until the first has recorded its outcome the second neither shows a window
    // nor ends. It is looked at before the first, so that whatever it did, it did
    // while the first still worked.
    for (;;)
    {
        const bool bMovedNow = second.Ended() || second.Dialog(0) != nullptr;
        if (first.Ended() || inst.Ini(L"UpdateSucceeded") == L"1")
        {
            break;
        }
        bOverlapped = true;
        bSecondMoved = bSecondMoved || bMovedNow;
        Sleep(20);
    }
    EXPECT_TRUE(bOverlapped);
    EXPECT_FALSE(bSecondMoved) << "the second start did not wait";
    EXPECT_EQ(0u, first.Wait());
    EXPECT_EQ(0u, second.Wait());

    // The first installed the release; the second found nothing to do.
    Tree expected = before.tree;
    expected[L"bin\\app.dll"] = before.release.at(L"bin\\app.dll");
    EXPECT_EQ("", Differences(expected, Scan(inst.root(), inst.Volatile())));
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() == before.nStarts + 2; }, 10000));
    EXPECT_EQ("", inst.Log()) << "the second start found something to do";
}
