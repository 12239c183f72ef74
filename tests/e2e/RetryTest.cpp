// A release that fails: the user waits at most once, a second start made meanwhile
// and later starts reach the client by themselves, a failing release costs three
// runs at most, the retry survives read-only lists, and a client list that cannot
// be written stops the run before any copy.
#include "tests/support/Scenario.h"

#include <regex>

using namespace qvstest;

namespace
{
class Retry : public Scenario
{
protected:
    // A start that tries the release again and fails before the copy: it shows its
    // dialog, says why, records it, and starts the client without being asked.
    void ExpectFailureAndClient(const std::wstring& error, unsigned nRun)
    {
        SCOPED_TRACE(testing::Message() << "run " << nRun << " of the release");
        const Before before = Take();
        Program program(inst.Command(), Program::CountingWindows());
        EXPECT_EQ(0u, program.Wait(30000));
        EXPECT_GT(program.WindowsCreated(), 0);
        EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 10000));
        EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
        EXPECT_EQ(ReasonText(ERROR_INVALID_DATA), inst.Ini(L"UpdateFailureReason"));
        EXPECT_EQ(std::to_wstring(nRun), inst.Ini(L"FailedRunsOfRelease"));
        EXPECT_NE(std::string::npos, inst.Log().find(ToUtf8(error))) << inst.Log();
        EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
    }
};
} // namespace

TEST_F(Retry, ABrokenListKeepsTheUserWaitingOnceAndCostsThreeRunsUntilTheNextRelease)
{
    inst.Put(L"bin\\app.dll", "app 1", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    // An editor saved the list as 8-bit text: an odd number of bytes.
    const std::wstring list = L"HotUpdateFileList_Server.txt";
    const std::string made = ReadBytes(rel.Path(list));
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    rel.Put(list, made + "x", Plus(now, 1));
    const std::wstring error = L"Error!.." + ReasonText(ERROR_INVALID_DATA) + L" " +
                               inst.Path(L"HotUpdateFileList_Server.txt");
    {
        // The first start says why and waits for OK without starting the client...
        Program first(inst.Command());
        EXPECT_NE(L"", first.WaitForText(error));
        EXPECT_EQ(0u, inst.ClientStarts().size());
        // ...and a second start made while it waits reaches the client by itself.
        ExpectFailureAndClient(error, 2);
        EXPECT_FALSE(first.Ended());
        first.PressOk();
        EXPECT_EQ(0u, first.Wait());
    }
    ExpectFailureAndClient(error, 3);

    // Three runs spent: the everyday start only starts the client, and says why.
    const Before before = Take();
    Program fourth(inst.Command(), Program::CountingWindows());
    EXPECT_EQ(0u, fourth.Wait());
    EXPECT_EQ(0, fourth.WindowsCreated());
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 10000));
    EXPECT_EQ(before.ini, ReadBytes(inst.bin() + L"\\QVS.ini"));
    EXPECT_NE(std::string::npos, inst.Log().find("failed to install 3 times")) << inst.Log();

    // The mended release, a newer list, is taken at once.
    rel.Put(list, made, Plus(now, 3));
    ExpectUpdate({{L"bin\\app.dll"}});
    EXPECT_EQ(L"0", inst.Ini(L"FailedRunsOfRelease"));
}

TEST_F(Retry, AReadOnlyListWithAFileMissingIsRetriedOnceTheFileIsBack)
{
    inst.Put(L"bin\\a.dll", "a 1", T(2025, 6, 1));
    rel.Put(L"bin\\a.dll", "a 2", T(2026, 1, 10));
    rel.Put(L"bin\\b.dll", "b 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    // Administrators publish read-only files; the local copy of the list takes that on.
    const std::wstring list = rel.Path(L"HotUpdateFileList_Server.txt");
    ASSERT_TRUE(SetFileAttributesW(list.c_str(), FILE_ATTRIBUTE_READONLY));
    Take(); // the release as published, b.dll in it
    ASSERT_TRUE(MoveFileW(rel.Path(L"bin\\b.dll").c_str(), rel.Path(L"b.away").c_str()));
    ExpectUpdate({{L"bin\\a.dll"}, {L"bin\\b.dll", ERROR_FILE_NOT_FOUND}});
    EXPECT_NE(0u, GetFileAttributesW(inst.Path(L"HotUpdateFileList_Server.txt").c_str()) &
                      FILE_ATTRIBUTE_READONLY);

    ASSERT_TRUE(MoveFileW(rel.Path(L"b.away").c_str(), rel.Path(L"bin\\b.dll").c_str()));
    ExpectUpdate({{L"bin\\a.dll"}, {L"bin\\b.dll"}});
    ExpectClientOnly();
    SetFileAttributesW(list.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The installation on a disk too full for its client list: the run stops before
// any copy, with "0", the system's reason and an Error line naming the list.
TEST(FullDisk, AClientListThatCannotBeWrittenStopsTheRunBeforeAnyCopy)
{
    const wchar_t* disk = _wgetenv(L"QVS_SMALL_DISK");
    ASSERT_NE(nullptr, disk) << "QVS_SMALL_DISK is not set: run the tests through scripts/test";
    Release rel;
    Installation inst(L"inst", disk);
    inst.Configure(rel.unc());
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    inst.Put(L"bin\\app.dll", "app 1", T(2025, 6, 1));
    // Enough files of the user's that their list does not fit in what is left.
    for (int i = 0; i < 150; ++i)
    {
        inst.Put(L"user\\file number " + std::to_wstring(i) + L".txt", "u", T(2025, 1, 1));
    }
    ULARGE_INTEGER free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(inst.root().c_str(), &free, nullptr, nullptr));
    inst.Put(L"filler", std::string(static_cast<size_t>(free.QuadPart) - 16 * 1024, 'f'),
             T(2025, 1, 1));
    const Tree before = Scan(inst.root(), inst.Volatile());

    Program program(inst.Command());
    const std::wstring text = program.WaitForText(L" " + inst.Path(L"HotUpdateFileList_Client.txt"));
    EXPECT_NE(std::wstring::npos,
              text.find(L"Error!.." + ReasonText(ERROR_DISK_FULL) + L" " +
                        inst.Path(L"HotUpdateFileList_Client.txt")))
        << ToUtf8(text);
    program.PressOk();
    EXPECT_EQ(0u, program.Wait());
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(ReasonText(ERROR_DISK_FULL), inst.Ini(L"UpdateFailureReason"));
    EXPECT_EQ("", Differences(before, Scan(inst.root(), inst.Volatile())));
    EXPECT_EQ(std::string::npos, inst.Log().find("Copying...")) << inst.Log();
    EXPECT_TRUE(inst.ClientStarts().empty());
}

// A release larger than the free space of the installation's disk: the run stops
// before its first copy, says how much it needs and how much is free, replaces
// nothing and starts the client; a release that fits is installed whole.
TEST(FullDisk, AReleaseTooLargeForTheDiskReplacesNothing)
{
    const wchar_t* disk = _wgetenv(L"QVS_SMALL_DISK");
    ASSERT_NE(nullptr, disk) << "QVS_SMALL_DISK is not set: run the tests through scripts/test";
    Release rel;
    Installation inst(L"inst", disk);
    inst.Configure(rel.unc());
    inst.Put(L"bin\\app.dll", "app 1", T(2025, 6, 1));
    ULARGE_INTEGER free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(inst.root().c_str(), &free, nullptr, nullptr));
    const size_t nFree = static_cast<size_t>(free.QuadPart);
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    rel.Put(L"data\\big.pak", std::string(nFree + (1u << 20), 'b'), T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    const Tree before = Scan(inst.root(), inst.Volatile());

    EXPECT_EQ(0u, RunProgram(inst.Command()));
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() == 1; }, 10000));
    EXPECT_EQ("", Differences(before, Scan(inst.root(), inst.Volatile())));
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    const std::wstring reason = inst.Ini(L"UpdateFailureReason");
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(reason, match,
                                 std::wregex(L"The release needs ([0-9,]+) bytes of free space in (.+), "
                                             L"but only ([0-9,]+) bytes are free there: nothing was installed\\.")))
        << ToUtf8(reason);
    const auto number = [](std::wstring text)
    {
        std::erase(text, L',');
        return std::stoull(text);
    };
    EXPECT_GE(number(match[1]), nFree + (1u << 20) + 5u);
    EXPECT_LT(number(match[3]), number(match[1]));
    EXPECT_EQ(0u, match[2].str().find(inst.root())) << ToUtf8(match[2]);
    EXPECT_NE(std::string::npos, inst.Log().find("Error!.." + ToUtf8(reason))) << inst.Log();
    EXPECT_EQ(std::string::npos, inst.Log().find("Copying...")) << inst.Log();

    rel.Put(L"data\\big.pak", std::string(nFree / 2, 'b'), T(2026, 1, 11));
    ASSERT_EQ(0u, rel.Publish());
    EXPECT_EQ(0u, RunProgram(inst.Command()));
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded")) << ToUtf8(inst.Ini(L"UpdateFailureReason"));
    EXPECT_EQ("app 2", ReadBytes(inst.Path(L"bin\\app.dll")));
    EXPECT_EQ(nFree / 2, ReadBytes(inst.Path(L"data\\big.pak")).size());
}
