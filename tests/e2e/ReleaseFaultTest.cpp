// Faults of the release: its share vanishing in the middle of the copy, a list
// that is not a list, and a list written by hand that names places outside the
// installation. Nothing is lost, mixed or written outside, the user learns why,
// QVS.ini records it, and the next start installs the release once the fault is gone.
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
class ReleaseFault : public Scenario
{
};
} // namespace

TEST_F(ReleaseFault, TheShareVanishingDuringTheCopyLosesNothingAndTheNextStartCompletes)
{
    inst.Put(L"bin\\a.dll", "a 1", T(2025, 6, 1));
    inst.Put(L"bin\\b.dll", "b 1", T(2025, 6, 1));
    std::vector<Copy> copies;
    for (const wchar_t* file : {L"bin\\a.dll", L"bin\\b.dll", L"sub\\new.dat"})
    {
        rel.Put(file, "2", T(2026, 1, 10));
        copies.push_back({file, ERROR_PATH_NOT_FOUND});
    }
    // The first file copied is large: the server's folder disappears while it is
    // copied from its open source; every later copy finds the path gone.
    const std::wstring first = Take().copyOrder.front();
    rel.Put(first, Content(32u << 20, "2"), T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    MakeDirs(inst.Path(L"sub"));
    const Before before = Take();
    const std::wstring gone = rel.local() + L"-gone";
    {
        CopyWatch watch(inst.root());
        Program program(inst.Command());
        ASSERT_TRUE(watch.WaitFor(program, 1, {L"bin", L"sub"}));
        ASSERT_TRUE(MoveFileW(rel.local().c_str(), gone.c_str()));
        EXPECT_EQ(0u, program.Wait());
    }
    for (Copy& copy : copies)
    {
        copy.error = copy.file == first ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    }
    CheckUpdate(before, copies);

    // Back: the next start installs the release whole.
    ASSERT_TRUE(MoveFileW(gone.c_str(), rel.local().c_str()));
    for (Copy& copy : copies)
    {
        copy.error = ERROR_SUCCESS;
    }
    ExpectUpdate(copies);
}

TEST_F(ReleaseFault, AListThatIsNoListStopsTheRunAndAHostileOneWritesNothingOutside)
{
    inst.Put(L"bin\\good.dll", "good 1", T(2025, 6, 1));
    rel.Put(L"bin\\good.dll", "good 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    const std::wstring list = L"HotUpdateFileList_Server.txt";
    const std::wstring made = ReadUtf16(rel.Path(list));
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);

    // An odd number of bytes: the run says why in the dialog, records it, copies
    // nothing and waits for the user without starting the client.
    rel.Put(list, Utf16Bytes(made) + "x", Plus(now, 1));
    {
        const Before before = Take();
        Program program(inst.Command());
        ASSERT_NE(L"", program.WaitForText(L"Error!.."));
        inst.WaitUntilNoRun();
        const std::wstring text = program.WaitForText(L"Error!..");
        std::vector<std::wstring> messages = Messages(before, {});
        messages.push_back(L"Error!.." + ReasonText(ERROR_INVALID_DATA) + L" " +
                           inst.Path(L"HotUpdateFileList_Server.txt"));
        EXPECT_EQ(ToUtf8(BoxText(messages, before)), ToUtf8(MaskIniStamp(text)));
        EXPECT_FALSE(program.Ended());
        EXPECT_EQ(before.nStarts, inst.ClientStarts().size());
        program.PressOk();
        EXPECT_EQ(0u, program.Wait());
        EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
        EXPECT_EQ(ReasonText(ERROR_INVALID_DATA), inst.Ini(L"UpdateFailureReason"));
        EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
        EXPECT_EQ(LogText(messages), inst.Log());
    }

    // A list written by hand: good.dll among lines that climb out of the root,
    // name drives, shares, devices and streams. Each of those is refused and
    // reported, nothing of the release is installed, the run records "0", the
    // client is started.
    const std::wstring evil = FreshName(L"evil-") + L".dll";
    rel.Put(evil, "evil", T(2026, 1, 10));
    rel.Put(L"bin\\" + evil, "evil", T(2026, 1, 10));
    const std::wstring u = rel.unc();
    const std::wstring hostile[][2] = {
        {u + L"\\..\\..\\", evil},      {u + L"\\bin\\..\\..\\..\\", evil},
        {u + L"\\bin\\", L"..\\" + evil}, {u + L"\\bin\\", L"C:\\" + evil},
        {u + L"\\bin\\", u + L"\\" + evil}, {u + L"\\bin\\", L"CON"},
        {u + L"\\bin\\", L"good.dll:stream"}, {u + L"\\CON\\", evil},
        {u + L"\\bin\\", evil + L"."},  {u + L"\\bin\\", L".."},
    };
    std::wstring text = made;
    for (const auto& line : hostile)
    {
        text += line[0] + L"\t\t" + line[1] + L"\t\t10/01/26 12:00:00\r\n";
    }
    rel.Put(list, Utf16Bytes(text), Plus(now, 3));
    const Tree releaseBefore = Scan(rel.local());
    const Before before = Take();
    EXPECT_EQ(0u, RunProgram(inst.Command()));
    EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
    EXPECT_EQ("", Differences(releaseBefore, Scan(rel.local())));
    const std::wstring parent = inst.root().substr(0, inst.root().rfind(L'\\'));
    for (const std::wstring& outside :
         {parent + L"\\" + evil, parent.substr(0, parent.rfind(L'\\')) + L"\\" + evil,
          L"C:\\" + evil, rel.local() + L"\\..\\" + evil})
    {
        EXPECT_FALSE(Exists(outside)) << ToUtf8(outside);
    }
    const std::string log = inst.Log();
    size_t refused = 0;
    for (size_t pos = 0; (pos = log.find(" was not copied: ", pos)) != std::string::npos; ++pos)
    {
        ++refused;
    }
    EXPECT_EQ(std::size(hostile), refused) << log;
    EXPECT_EQ(std::string::npos, log.find("Copying..."));
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(ReasonText(ERROR_BAD_PATHNAME), inst.Ini(L"UpdateFailureReason"));
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() == before.nStarts + 1; }, 10000));
}
