// The rules of a start that need no window, case by case: when an update is
// due, how runs of a release are counted, when a failed run keeps the user
// waiting, what reason a failure records; and the copy of one file, which gives
// the whole file or a failure and never a file that is not the release's.
#include "framework/AfxException.h"
#include "lib/CopyLeftover.h"
#include "lib/FailureReason.h"
#include "lib/FileCopy.h"
#include "lib/FileIterator.h"
#include "lib/UpdateDue.h"

#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace qvstest;

namespace
{
SCDateTime At(WORD day, WORD second)
{
    return SCDateTime(2026, 1, day, 12, 0, second);
}
} // namespace

TEST(UpdateDue, ANewReleaseOrAFailedOneWithRunsLeftIsDueAndNothingElse)
{
    const std::wstring kThis = L"2026-01-10 12:00:05.000";
    const std::wstring kOther = L"2025-12-01 09:00:00.000";
    struct Row
    {
        const char* what;
        bool bFound, bLocal;
        SCDateTime local;
        const wchar_t* outcome;
        SCFailedRuns runs;
        bool bForced;
        SCUpdateDecision expected;
    };
    const SCDateTime release = At(10, 5);
    const Row rows[] = {
        {"no release", false, true, At(1, 0), L"0", {kThis, 1}, false, SCUpdateDecision::NotDue},
        {"no copy of the list", true, false, At(1, 0), L"1", {}, false, SCUpdateDecision::Due},
        {"one second newer", true, true, At(10, 4), L"1", {}, false, SCUpdateDecision::Due},
        {"the same second", true, true, At(10, 5), L"1", {}, false, SCUpdateDecision::NotDue},
        {"the copy newer", true, true, At(10, 6), L"1", {}, false, SCUpdateDecision::NotDue},
        {"never recorded", true, true, At(10, 5), L"", {}, false, SCUpdateDecision::NotDue},
        {"failed once", true, true, At(10, 5), L"0", {kThis, 1}, false, SCUpdateDecision::Due},
        {"failed twice", true, true, At(10, 5), L"0", {kThis, 2}, false, SCUpdateDecision::Due},
        {"failed three times", true, true, At(10, 5), L"0", {kThis, 3}, false,
         SCUpdateDecision::RetriesSpent},
        {"spent but forced", true, true, At(10, 5), L"0", {kThis, 3}, true, SCUpdateDecision::Due},
        {"another release's runs", true, true, At(10, 5), L"0", {kOther, 3}, false,
         SCUpdateDecision::Due},
        {"new, its list copy cut off three times", true, true, At(1, 0), L"0", {kThis, 3}, false,
         SCUpdateDecision::RetriesSpent},
        {"new after another's three runs", true, true, At(1, 0), L"0", {kOther, 3}, false,
         SCUpdateDecision::Due},
    };
    for (const Row& row : rows)
    {
        SCUpdateFacts facts;
        facts.bReleaseFound = row.bFound;
        facts.dtRelease = release;
        facts.bLocalFound = row.bLocal;
        facts.dtLocal = row.local;
        facts.strLastOutcome = row.outcome;
        facts.runs = row.runs;
        facts.bForced = row.bForced;
        EXPECT_EQ(static_cast<int>(row.expected), static_cast<int>(DecideUpdate(facts, kThis)))
            << row.what;
        // The everyday start reads the history only when it can change the answer.
        if (!NeedsRunHistory(facts))
        {
            EXPECT_EQ(static_cast<int>(SCUpdateDecision::NotDue),
                      static_cast<int>(row.expected))
                << row.what;
        }
    }
}

TEST(UpdateDue, RunsAreCountedPerReleaseAndOnlyTheFirstFailureOfOneKeepsTheUserWaiting)
{
    struct Count
    {
        SCFailedRuns recorded;
        const wchar_t* release;
        unsigned expected;
    };
    const Count counts[] = {
        {{L"", 0}, L"A", 1},     {{L"A", 1}, L"A", 2},       {{L"A", 2}, L"B", 1},
        {{L"A", 9998}, L"A", 9999}, {{L"A", 9999}, L"A", 9999},
    };
    for (const Count& count : counts)
    {
        const SCFailedRuns runs = CountRunStarted(count.recorded, count.release);
        EXPECT_EQ(count.expected, runs.nRuns) << ToUtf8(count.recorded.strReleaseListTime);
        EXPECT_EQ(std::wstring(count.release), runs.strReleaseListTime);
    }
    struct Wait
    {
        bool bForced;
        unsigned nRun;
        bool bLaunchPending;
        bool expected;
    };
    const Wait waits[] = {
        {false, 1, false, true},  {false, 2, false, false}, {false, 3, false, false},
        {true, 2, false, true},   {false, 1, true, false},  {true, 1, true, false},
    };
    for (const Wait& wait : waits)
    {
        EXPECT_EQ(wait.expected, KeepsUserWaiting(wait.bForced, wait.nRun, wait.bLaunchPending))
            << wait.bForced << " " << wait.nRun << " " << wait.bLaunchPending;
    }
}

TEST(FailureReason, TheFirstFailureIsRecordedInTheSystemsOrTheProgramsWords)
{
    SCFailureReason reason;
    EXPECT_EQ(L"nothing", reason.Text(L"nothing"));
    reason.Note(ERROR_SUCCESS);
    EXPECT_FALSE(reason.IsNoted());
    reason.Note(ERROR_ACCESS_DENIED);
    reason.Note(L"later words");
    reason.Note(ERROR_DISK_FULL);
    EXPECT_EQ(ReasonText(ERROR_ACCESS_DENIED), reason.Text(L"nothing"));
    reason.Clear();
    reason.Note(L"the program's words");
    reason.Note(ERROR_DISK_FULL);
    EXPECT_EQ(L"the program's words", reason.Text(L"nothing"));

    CFileException file(CFileException::sharingViolation, ERROR_SHARING_VIOLATION);
    CFileException noCode(CFileException::genericException, -1);
    CMemoryException memory;
    CUserException user;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), SCErrorOfException(&file));
    EXPECT_EQ(0u, SCErrorOfException(&noCode));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), SCErrorOfException(&memory));
    EXPECT_EQ(0u, SCErrorOfException(&user));
}

TEST(CopyLeftover, TemporaryCopiesOfThisAndOfEarlierVersionsAreKnownByNameAlone)
{
    struct Row
    {
        const wchar_t* name;
        bool expected;
    };
    const Row rows[] = {
        {L"~QVSCopy-1a0-3.tmp", true},                  // an earlier version's
        {L"~QVSCopy-1a0-1dd86107f788d6e-3.tmp", true},  // with its process's start
        {L"~qvscopy-1A0-0.TMP", true},
        {L"~QVSCopy-1a0.tmp", false},
        {L"~QVSCopy-1a0-1-2-3.tmp", false},
        {L"~QVSCopy--3.tmp", false},
        {L"~QVSCopy-1a0-.tmp", false},
        {L"~QVSCopy-123456789-3.tmp", false},           // a process number of nine digits
        {L"~QVSCopy-1a0-12345678901234567-3.tmp", false},
        {L"~QVSCopy-1g0-3.tmp", false},
        {L"~QVSCopy-1a0-3.tmp.dll", false},
        {L"QVSCopy-1a0-3.tmp", false},
    };
    for (const Row& row : rows)
    {
        EXPECT_EQ(row.expected, SCIsLeftoverName(row.name)) << ToUtf8(row.name);
    }
}

TEST(FileCopy, GivesTheWholeFileWithItsStampOrAFailureAndNeverAFileThatIsNotTheReleases)
{
    TempDir dir;
    const FILETIME stamp = T(2026, 1, 10);
    // Sizes around the copy's pieces (256 KB): empty, one byte, exactly two, and
    // more than the pieces in flight at once.
    const size_t sizes[] = {0, 1, 512u << 10, (3u << 20) + 17};
    for (const bool bChecked : {false, true})
    {
        SCFileCopy copier(bChecked);
        for (const size_t size : sizes)
        {
            SCOPED_TRACE(testing::Message() << size << " bytes, checked " << bChecked);
            const std::wstring source = dir / L"source.dll";
            const std::string bytes = Content(size, std::to_string(size));
            WriteBytes(source, bytes, &stamp);
            SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
            SCReleaseRecord::Item item;
            item.nSize = size;
            ASSERT_TRUE(SCSha256::HashBytes(bytes.data(), bytes.size(), item.digest));
            const std::wstring temp = dir / L"copy.tmp";
            std::atomic<ULONGLONG> sign{0};
            const SCCopyResult result = copier.Copy(source, temp, bChecked ? &item : nullptr, sign);
            ASSERT_EQ(static_cast<int>(SCCopyOutcome::Copied), static_cast<int>(result.outcome));
            EXPECT_EQ(size, result.nBytes);
            EXPECT_NE(0u, sign.load());
            EXPECT_TRUE(bytes == ReadBytes(temp));
            const FILETIME copied = Stamp(temp);
            EXPECT_EQ(0, CompareFileTime(&stamp, &copied));
            EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
                      GetFileAttributesW(temp.c_str()) &
                          (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
            SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
            SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(temp.c_str());
            if (!bChecked || size == 0)
            {
                continue;
            }
            // Another size is refused before a byte is read, other bytes of the same
            // size once they are read; neither leaves its temporary file.
            SCReleaseRecord::Item longer = item;
            ++longer.nSize;
            SCReleaseRecord::Item other = item;
            other.digest[31] ^= 1;
            for (const SCReleaseRecord::Item* pWrong : {&longer, &other})
            {
                const SCCopyResult refused = copier.Copy(source, temp, pWrong, sign);
                EXPECT_EQ(static_cast<int>(SCCopyOutcome::NotRelease),
                          static_cast<int>(refused.outcome));
                EXPECT_FALSE(Exists(temp));
            }
        }
        // Copies under way in every slot at once, finished in their order: each keeps
        // its own outcome.
        {
            std::atomic<ULONGLONG> sign{0};
            std::vector<SCReleaseRecord::Item> items(copier.Slots() + 1);
            for (size_t n = 0; n < items.size(); ++n)
            {
                const std::string bytes = Content((1u << 20) + n, std::to_string(n));
                WriteBytes(dir / (L"s" + std::to_wstring(n)), bytes, &stamp);
                items[n].nSize = bytes.size();
                SCSha256::HashBytes(bytes.data(), bytes.size(), items[n].digest);
                if (n == 1)
                {
                    items[n].digest[0] ^= 1;
                }
            }
            for (size_t n = 0; n < items.size(); ++n)
            {
                const size_t nSlot = n % copier.Slots();
                if (n >= copier.Slots())
                {
                    copier.Finish(nSlot);
                }
                copier.Start(nSlot, dir / (L"s" + std::to_wstring(n)), dir / (L"t" + std::to_wstring(n)),
                             bChecked ? &items[n] : nullptr, sign);
                if (n + 1 == items.size())
                {
                    for (size_t k = 0; k < copier.Slots(); ++k)
                    {
                        const size_t nJob = n + 1 - copier.Slots() + k;
                        const SCCopyResult result = copier.Finish(nJob % copier.Slots());
                        const bool bRefused = bChecked && nJob == 1;
                        EXPECT_EQ(static_cast<int>(bRefused ? SCCopyOutcome::NotRelease : SCCopyOutcome::Copied),
                                  static_cast<int>(result.outcome)) << "copy " << nJob;
                    }
                }
            }
            EXPECT_EQ(!bChecked, Exists(dir / L"t1"));
            EXPECT_TRUE(ReadBytes(dir / L"s0") == ReadBytes(dir / L"t0"));
        }
        // A source that is missing, and one that its writer still holds.
        std::atomic<ULONGLONG> sign{0};
        const std::wstring temp = dir / L"copy.tmp";
        SCCopyResult result = copier.Copy(dir / L"missing.dll", temp, nullptr, sign);
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), result.dwError);
        const std::wstring held = dir / L"held.dll";
        WriteBytes(held, "being written");
        {
            const UniqueFile writer(CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(writer.valid());
            result = copier.Copy(held, temp, nullptr, sign);
            EXPECT_EQ(static_cast<int>(SCCopyOutcome::Failed), static_cast<int>(result.outcome));
            EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), result.dwError);
            EXPECT_FALSE(Exists(temp));
        }
    }
}
