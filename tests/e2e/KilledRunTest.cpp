// A run killed (TerminateProcess, as a crash or a power cut would end it) in the
// first and the last of five large copies, or of two built from the blocks of their
// installed versions: every installed file is its old or its new version byte for
// byte, the client is not started, QVS.ini says the run did not succeed; the next
// start, without argument, completes the update and clears the temporary copies.
#include "tests/support/Scenario.h"

#include <random>

using namespace qvstest;

namespace
{
class KilledRun : public Scenario
{
protected:
    // Starts the updater and kills it once its n-th temporary copy was made, plus a
    // delay; then checks what it left: every file its old or its new version,
    // nothing else, the client not started, no success recorded. The files still
    // to copy.
    std::vector<Copy> KillAt(size_t nthCopy, DWORD delayMs)
    {
        SCOPED_TRACE(testing::Message() << "killed at copy " << nthCopy << " + " << delayMs << " ms");
        const Before before = Take();
        {
            CopyWatch watch(inst.root());
            Program program(inst.Command());
            EXPECT_TRUE(watch.WaitFor(program, nthCopy, {L"bin", L"sub"}))
                << "the run ended before it reached the moment";
            Sleep(delayMs);
            EXPECT_TRUE(program.Kill()) << "the run ended before it could be killed";
        }
        std::vector<Copy> left;
        const Tree after = Scan(inst.root(), inst.Volatile());
        for (const auto& [file, state] : before.release)
        {
            const auto it = after.find(file);
            if (it == after.end() || !(it->second == state))
            {
                left.push_back({file});
                EXPECT_TRUE(it == after.end() ? before.tree.count(file) == 0
                                              : before.tree.count(file) && it->second == before.tree.at(file))
                    << "damaged: " << ToUtf8(file);
            }
        }
        for (const auto& [file, state] : after)
        {
            EXPECT_TRUE(before.tree.count(file) || before.release.count(file) ||
                        file.find(L"~QVSCopy-") != std::wstring::npos)
                << "unexpected: " << ToUtf8(file);
        }
        EXPECT_FALSE(left.empty()) << "the kill came after the last copy";
        EXPECT_EQ(before.nStarts, inst.ClientStarts().size());
        EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
        // Recorded as started before the first copy: a kill at any later moment
        // leaves a failed run, retried at the next start.
        EXPECT_EQ(L"The update run did not finish.", inst.Ini(L"UpdateFailureReason"));
        return left;
    }
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
    }
    files.push_back(L"sub\\new.dat");
    for (const std::wstring& file : files)
    {
        rel.Put(file, "", T(2026, 1, 10));
    }
    const std::wstring last = Take().copyOrder.back();
    const size_t size = (LongRun() ? 16u : 2u) << 20;
    for (const std::wstring& file : files)
    {
        rel.Put(file, Content(file == last ? 8 * size : size, ToUtf8(file)), T(2026, 1, 10));
    }
    ASSERT_EQ(0u, rel.Publish());

    // Start after start killed: as the first copy begins, and as the last of what is
    // left begins; the next start completes the update. (Each killed start counts
    // as a failed run of the release: a third would spend its retries.) The long
    // variant adds rounds with random delays.
    std::mt19937 rng(static_cast<unsigned>(GetTickCount64()));
    for (int round = 0; round < (LongRun() ? 4 : 1); ++round)
    {
        for (size_t i = 0; i + 1 < files.size(); ++i)
        {
            inst.Put(files[i], "old", T(2025, 6, 1));
        }
        RemoveTree(inst.Path(L"sub"));
        MakeDirs(inst.Path(L"sub"));
        DeleteFileW(inst.Path(L"HotUpdateFileList_Server.txt").c_str());
        inst.Configure(rel.unc());
        const auto delay = [&] { return round == 0 ? 0u : static_cast<DWORD>(rng() % 20); };
        const size_t nLeft = KillAt(1, delay()).size();
        const std::vector<Copy> left = KillAt(nLeft, delay());
        ASSERT_FALSE(HasFailure());
        ExpectUpdate(left);
    }
}

TEST_F(KilledRun, AFileBuiltFromItsBlocksKilledHalfWayIsOldOrNewAndTheNextStartCompletes)
{
    // Two large files whose installed versions hold most of their blocks.
    for (const wchar_t* file : {L"bin\\big1.dll", L"bin\\big2.dll"})
    {
        const std::string old = Content(8u << 20, ToUtf8(file));
        inst.Put(file, old, T(2025, 6, 1));
        rel.Put(file, old.substr(0, 1u << 20) + Content(20000, "new") + old.substr((1u << 20) + 20000),
                T(2026, 1, 10));
    }
    ASSERT_EQ(0u, rel.Publish());
    const size_t nLeft = KillAt(1, 0).size();
    const std::vector<Copy> left = KillAt(nLeft, 0);
    ASSERT_FALSE(HasFailure());
    ExpectUpdate(left);
    EXPECT_LT(bytesRead, 1u << 20);
}
