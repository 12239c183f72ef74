// The installation itself in the ways it makes the update hard: a path outside
// the ANSI code page, Greek, CJK and emoji names, paths beyond MAX_PATH,
// read-only, hidden and system files, and a client that cannot be started, so
// that the dialog stays open and shows the whole run.
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
class UnusualInstallation : public Scenario
{
protected:
    UnusualInstallation() : Scenario(L"\x03A9\x03BC\x03AD\x03B3\x03B1 \x6587\x4EF6 \xD83D\xDE00") {}
};
} // namespace

TEST_F(UnusualInstallation, UnusualNamesLongPathsAndProtectedFilesAreUpdatedAndShownWhole)
{
    std::wstring deep = L"bin";
    while (deep.size() < 300)
    {
        deep += L"\\a-rather-long-folder-name-" + std::to_wstring(deep.size());
    }
    const std::wstring greek = L"bin\\\x0391\x03C1\x03C7\x03B5\x03AF\x03BF.dll";
    const std::wstring cjk = L"bin\\\x6587\x4EF6\\\x8CC7\x6599.dat";
    const std::wstring emoji = L"\xD83D\xDE00 smile\\\xD83C\xDF89\xD83D\xDCE6.txt";
    const std::wstring longOld = deep + L"\\old.dll";
    const std::wstring longNew = deep + L"\\deeper\\new.dll";
    const std::pair<std::wstring, DWORD> protectedFiles[] = {
        {L"bin\\readonly.dll", FILE_ATTRIBUTE_READONLY},
        {L"bin\\hidden.dll", FILE_ATTRIBUTE_HIDDEN},
        {L"bin\\system.dll", FILE_ATTRIBUTE_SYSTEM},
        {L"bin\\all.dll", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
    };
    std::vector<Copy> copies;
    for (const std::wstring& file : {greek, cjk, emoji, longOld, longNew})
    {
        rel.Put(file, std::string("new ") + ToUtf8(file), T(2026, 1, 10));
        copies.push_back({file});
    }
    inst.Put(greek, "old", T(2025, 6, 1));
    inst.Put(longOld, "old", T(2025, 6, 1));
    for (const auto& [file, attributes] : protectedFiles)
    {
        inst.Put(file, "old", T(2025, 6, 1));
        ASSERT_TRUE(SetFileAttributesW(inst.Path(file).c_str(), attributes));
        rel.Put(file, "new", T(2026, 1, 10));
        copies.push_back({file});
    }
    ASSERT_EQ(0u, rel.Publish());

    // Without QVS.exe the dialog stays open after the run: the reason on top, every
    // message newest first, then the walk's file lines, each name whole.
    ASSERT_TRUE(DeleteFileW((inst.bin() + L"\\QVS.exe").c_str()));
    const Before before = Take();
    {
        Program program(inst.Command());
        const std::wstring top = L"Error!.." + inst.bin() + L"\\QVS.exe\r\n";
        const std::wstring text = program.WaitForText(top);
        EXPECT_EQ(ToUtf8(top + BoxText(Messages(before, copies), before)),
                  ToUtf8(MaskIniStamp(text)));
        program.PressOk();
        EXPECT_EQ(0u, program.Wait());
    }
    CheckUpdate(before, copies, false);

    // With the client back, a forced start compares the true names: nothing to copy.
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"StandInClient.exe").c_str(),
                          (inst.bin() + L"\\QVS.exe").c_str(), FALSE));
    ExpectUpdate({}, L"/force");
}
