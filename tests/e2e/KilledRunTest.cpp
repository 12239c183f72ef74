// A run killed (TerminateProcess, as a crash or a power cut would end it) in the
// first, a later and the last of five large copies: every installed file is its
// old or its new version byte for byte, the client is not started, QVS.ini says
// the run did not succeed; the next start, without argument, completes the
// update and clears the temporary copies.
#include "tests/support/Scenario.h"

#include <random>

using namespace qvstest;

namespace
{
class KilledRun : public Scenario
{
protected:
    struct Moment
    {
        size_t nthCopy; // killed once the n-th temporary copy appeared...
        DWORD delayMs;  // ...and this much later
    };

    void KillAndRecover(const Moment& moment)
    {
        SCOPED_TRACE(testing::Message()
                     << "killed at copy " << moment.nthCopy << " + " << moment.delayMs << " ms");
        // The installation as it was before the release, the release not yet seen.
        for (const std::wstring& file : m_old)
        {
            inst.Put(file, "old", T(2025, 6, 1));
        }
        RemoveTree(inst.Path(L"sub"));
        MakeDirs(inst.Path(L"sub"));
        DeleteFileW(inst.Path(L"HotUpdateFileList_Server.txt").c_str());
        inst.Configure(rel.unc());
        const Before before = Take();
        {
            CopyWatch watch(inst.root());
            Program program(inst.Command());
            ASSERT_TRUE(watch.WaitFor(program, moment.nthCopy, {L"bin", L"sub"}))
                << "the run ended before it reached the moment";
            Sleep(moment.delayMs);
            ASSERT_TRUE(program.Kill()) << "the run ended before it could be killed";
        }
        // Every file its old or its new version; the copies not made are still due.
        std::vector<Copy> left;
        const Tree after = Scan(inst.root(), inst.Volatile());
        for (const auto& [file, state] : before.release)
        {
            const auto it = after.find(file);
            if (file == L"HotUpdateFileList_Server.txt")
            {
                continue;
            }
            if (it == after.end() || !(it->second == state))
            {
                left.push_back({file});
            }
            if (it != after.end() && !(it->second == state))
            {
                EXPECT_TRUE(before.tree.count(file) && it->second == before.tree.at(file))
                    << "damaged: " << ToUtf8(file);
            }
        }
        for (const auto& [file, state] : after)
        {
            EXPECT_TRUE(before.tree.count(file) || before.release.count(file) ||
                        file.find(L"~QVSCopy-") != std::wstring::npos)
                << "unexpected: " << ToUtf8(file);
        }
        // Killed before it had copied everything: it never said it succeeded and
        // never started the client; the next start completes the update.
        ASSERT_FALSE(left.empty()) << "the kill came after the last copy";
        EXPECT_EQ(before.nStarts, inst.ClientStarts().size());
        EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
        EXPECT_NE(L"", inst.Ini(L"UpdateFailureReason"));
        ExpectUpdate(left);
    }

    std::vector<std::wstring> m_old;
};
} // namespace

TEST_F(KilledRun, AtCopyMomentsEveryFileIsOldOrNewAndTheNextStartCompletes)
{
    // Four installed files replaced and a new one in a new folder; the last one
    // copied is the largest, so that a kill at its moment finds it under way.
    std::vector<std::wstring> files;
    for (int i = 1; i <= 4; ++i)
    {
        files.push_back(L"bin\\big" + std::to_wstring(i) + L".dll");
        m_old.push_back(files.back());
    }
    files.push_back(L"sub\\new.dat");
    for (const std::wstring& file : files)
    {
        rel.Put(file, "", T(2026, 1, 10));
    }
    const std::wstring last = Take().copyOrder.back();
    const size_t size = (LongRun() ? 16u : 4u) << 20;
    for (const std::wstring& file : files)
    {
        rel.Put(file, Content(file == last ? 8 * size : size, ToUtf8(file)), T(2026, 1, 10));
    }
    ASSERT_EQ(0u, rel.Publish());

    std::vector<Moment> moments = {{1, 0}, {3, 0}, {5, 0}};
    if (LongRun())
    {
        std::mt19937 rng(static_cast<unsigned>(GetTickCount64()));
        for (size_t k = 1; k <= 5; ++k)
        {
            moments.push_back({k, std::uniform_int_distribution<DWORD>(1, 20)(rng)});
        }
    }
    for (const Moment& moment : moments)
    {
        KillAndRecover(moment);
        if (HasFatalFailure())
        {
            return;
        }
    }
}
