// Two starts of the same installation at once: the second waits, showing and
// touching nothing, until the first has finished; then it goes on as usual.
#include "tests/e2e/FaultFixture.h"

using namespace qvsfault;

TEST_F(FaultRun, ASecondStartWaitsForTheRunningUpdateThenGoesOn)
{
    PrepareLargeUpdate(32u << 20);
    RunningProgram first(L"\"" + m_inst.updater() + L"\"");
    ASSERT_TRUE(first.started());
    // The first holds the installation from before its dialog appears.
    ASSERT_NE(nullptr, first.FindDialog());
    RunningProgram second(L"\"" + m_inst.updater() + L"\"");
    ASSERT_TRUE(second.started());

    bool bSecondShown = false;
    bool bSecondEnded = false;
    bool bOverlapped = false;
    // Until the first run has recorded its outcome the second neither shows its
    // dialog nor ends. (Afterwards it may well end before the first process does:
    // with nothing left to do it makes no window at all.) The second is looked at
    // before the first, so that whatever it did, it did while the first still ran.
    for (;;)
    {
        const bool bShownNow = second.FindDialog(0) != nullptr;
        const bool bEndedNow = second.HasEnded();
        if (first.HasEnded() || Ini(L"UpdateSucceeded") == L"1")
        {
            break;
        }
        bOverlapped = true;
        bSecondShown = bSecondShown || bShownNow;
        bSecondEnded = bSecondEnded || bEndedNow;
        Sleep(20);
    }
    EXPECT_TRUE(bOverlapped) << "the first run ended before the second started";
    EXPECT_FALSE(bSecondShown) << "the second start did not wait";
    EXPECT_FALSE(bSecondEnded) << "the second start did not wait";
    EXPECT_EQ(0u, first.Wait());
    EXPECT_EQ(0u, second.Wait());

    // The first updated everything; the second found nothing due and started the client.
    ExpectCompleteUpdate();
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
    EXPECT_EQ("", Log()) << "the second start found something to do";
}

TEST_F(FaultRun, TwoForcedStartsAtOnceBothRunAndBothEndWell)
{
    PrepareLargeUpdate(16u << 20);
    RunningProgram first(L"\"" + m_inst.updater() + L"\" /force");
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(WaitForTemporaryCopy(first, 1));
    RunningProgram second(L"\"" + m_inst.updater() + L"\" /force");
    ASSERT_TRUE(second.started());
    EXPECT_EQ(0u, first.Wait());
    EXPECT_EQ(0u, second.Wait());
    ExpectCompleteUpdate();
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
    // The second run walked the updated installation and had nothing to copy.
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("Saving to file to")) << log;
    EXPECT_EQ(std::string::npos, log.find("Copying...")) << log;
}
