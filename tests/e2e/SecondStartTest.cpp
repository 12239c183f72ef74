// Two starts of one installation at once: the second waits, showing and touching
// nothing, while the first one's update works; then it only starts the client.
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
    const std::vector<Copy> copies = {{L"bin\\app.dll"}, {L"sub\\new.dat"}};
    for (const Copy& copy : copies)
    {
        rel.Put(copy.file, "2", T(2026, 1, 10));
    }
    ASSERT_EQ(0u, rel.Publish());
    const Before before = Take();
    CopyWatch watch(inst.root());
    Program first(inst.Command());
    // The first is held while it takes the release list into the root, its update
    // under way, and the second starts.
    ASSERT_TRUE(watch.WaitFor(first, 1, {L""}));
    first.Suspend(true);
    const std::wstring ini = inst.Ini(L"UpdateDateTime");
    Program second(inst.Command());
    const bool bMoved = WaitUntil(
        [&] {
            return second.Ended() || second.Dialog(0) != nullptr ||
                   inst.Ini(L"UpdateDateTime") != ini;
        },
        1500);
    EXPECT_FALSE(bMoved) << "the second start did not wait";
    first.Suspend(false);
    EXPECT_EQ(0u, first.Wait());
    EXPECT_EQ(0u, second.Wait());

    // The first installed the release; the second found nothing to do.
    Tree expected = before.tree;
    for (const Copy& copy : copies)
    {
        expected[copy.file] = before.release.at(copy.file);
    }
    EXPECT_EQ("", Differences(expected, Scan(inst.root(), inst.Volatile())));
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() == before.nStarts + 2; }, 10000));
    EXPECT_EQ("", inst.Log()) << "the second start found something to do";
}
