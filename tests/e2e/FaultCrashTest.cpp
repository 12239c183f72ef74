// A run killed at any moment (TerminateProcess, as a crash or a power cut would
// end it) leaves every installed file whole, old or new, and the next start
// finds the update still due and completes it, clearing the temporary copies.
#include "tests/e2e/FaultFixture.h"

#include <random>

using namespace qvsfault;

namespace
{
// When the run is ended: once the k-th temporary copy has appeared (so in the
// middle of copying file k), plus a delay; or a delay after the start alone.
struct KillMoment
{
    const char* name;
    size_t nthCopy; // 0: only the delay counts
    DWORD delayMs;
};

class KilledRun : public FaultRun
{
protected:
    // A fresh copy of the old installation and a newer release of large files.
    void Reset(size_t size)
    {
        m_old.clear();
        m_new.clear();
        RemoveTree(m_inst.root() + L"\\sub");
        DeleteFileW(LocalListCopy().c_str());
        DeleteFileW((m_inst.bin() + L"\\QVS.started").c_str());
        m_inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=" + m_release.unc() + L"\r\n");
        PrepareLargeUpdate(size);
    }

    // Starts the program, ends it at the moment, then checks what it left and
    // that the next start completes the update. A moment that the test itself
    // missed (it was not scheduled while the copy ran) is tried again.
    void KillAndRecover(const KillMoment& moment, size_t size)
    {
        SCOPED_TRACE(moment.name);
        bool bKilledWhileCopying = false;
        for (int attempt = 1;; ++attempt)
        {
            Reset(size);
            RunningProgram program(L"\"" + m_inst.updater() + L"\"");
            ASSERT_TRUE(program.started());
            if (moment.nthCopy > 0 && !WaitForTemporaryCopy(program, moment.nthCopy))
            {
                ASSERT_LT(attempt, 3) << "the run ended before its copy " << moment.nthCopy;
                continue;
            }
            Sleep(moment.delayMs);
            bKilledWhileCopying = program.Kill();
            if (moment.nthCopy > 0 && !bKilledWhileCopying)
            {
                ASSERT_LT(attempt, 3) << "the run ended before it could be killed";
                continue;
            }
            break;
        }
        ExpectEveryFileOldOrNew();
        if (bKilledWhileCopying)
        {
            // The killed run never started the client and never said it succeeded.
            EXPECT_TRUE(m_inst.ClientStarts(1, 200).empty());
            EXPECT_NE(L"1", Ini(L"UpdateSucceeded"));
        }
        if (moment.nthCopy > 0)
        {
            // It had begun to copy: what it recorded says the update did not finish.
            EXPECT_EQ(L"0", Ini(L"UpdateSucceeded"));
            EXPECT_FALSE(Ini(L"UpdateFailureReason").empty());
        }

        // The next start, without any argument, finds the update due and completes it.
        EXPECT_EQ(0u, m_inst.Run());
        ExpectCompleteUpdate();
        EXPECT_LE(1u, m_inst.ClientStarts(1).size());
        EXPECT_EQ(std::string::npos, Log().find("Error!..")) << Log();
    }
};

constexpr size_t kFileSize = 24u << 20;

const KillMoment kMoments[] = {
    {"in the first copy", 1, 0},
    {"late in the first copy", 1, 25},
    {"in the third copy", 3, 0},
    {"in the last copy", 5, 0},
};
} // namespace

TEST_F(KilledRun, EveryMomentLeavesWholeFilesAndTheNextStartCompletes)
{
    for (const KillMoment& moment : kMoments)
    {
        KillAndRecover(moment, kFileSize);
        if (HasFatalFailure())
        {
            return;
        }
    }
}

TEST_F(KilledRun, ManyMomentsIncludingRandomOnes)
{
    if (!LongRun())
    {
        GTEST_SKIP() << "long variant: QVS_LONG=1 scripts/test -R Fault";
    }
    std::vector<KillMoment> moments;
    for (size_t k = 1; k <= 5; ++k)
    {
        for (const DWORD delay : {0u, 10u, 40u})
        {
            moments.push_back({"k-th copy plus delay", k, delay});
        }
    }
    const unsigned seed = static_cast<unsigned>(GetTickCount64());
    std::mt19937 rng(seed);
    for (int i = 0; i < 10; ++i)
    {
        moments.push_back({"random delay after the start", 0,
                           std::uniform_int_distribution<DWORD>(0, 4000)(rng)});
    }
    for (const KillMoment& moment : moments)
    {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", k " + std::to_string(moment.nthCopy) +
                     ", delay " + std::to_string(moment.delayMs));
        KillAndRecover(moment, 3 * kFileSize);
        if (HasFatalFailure())
        {
            return;
        }
    }
}

TEST_F(KilledRun, ACopyOfTheReleaseListCutShortIsClearedByTheNextCheck)
{
    // What a check killed while it copied the release list leaves in the root: a
    // temporary copy named after a process that no longer runs.
    DWORD deadId = 0;
    {
        RunningProgram ended(L"\"" + m_inst.bin() + L"\\QVS.exe\"");
        ASSERT_TRUE(ended.started());
        deadId = ended.id();
        ASSERT_NE(static_cast<DWORD>(-1), ended.Wait());
    }
    wchar_t name[64] = {};
    swprintf(name, 64, L"~QVSCopy-%lx-0.tmp", deadId);
    const std::wstring leftover = m_inst.root() + L"\\" + name;
    WriteBytes(leftover, "part of a list");
    DeleteFileW((m_inst.bin() + L"\\QVS.started").c_str());
    Install(L"bin\\app.dll", "app version 1", T(2025, 6, 1));
    Publish(L"bin\\app.dll", "app version 2", T(2026, 1, 10));
    ASSERT_EQ(0u, m_release.Publish());

    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    EXPECT_FALSE(Exists(leftover));
    EXPECT_EQ(1u, m_inst.ClientStarts().size());
}
