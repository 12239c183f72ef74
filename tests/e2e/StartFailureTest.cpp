// Failures that stop the dialog before it can check anything: the user is told
// in the text box, the dialog waits for OK, and nothing is started. The event
// records of this case are checked from outside by tests/e2e/event-log.sh, which
// runs this test with Wine's event-log channel on (the program's records reach
// this process's error output).
#include "tests/support/DialogProbe.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace qvstest;

namespace
{
// The program laid out in the root of drive C:, where no installation root exists.
class ProgramInDriveRoot : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CopyFileW((ExeFolder() + L"QVSCliUpdate.exe").c_str(), kProgram, FALSE));
        ASSERT_TRUE(CopyFileW((ExeFolder() + L"StandInClient.exe").c_str(), L"C:\\QVS.exe", FALSE));
        WriteUtf16(L"C:\\QVS.ini",
                   L"\xFEFF[HotUpdate]\r\nSourceFolder=\\\\qvsserver\\release\\none\r\n");
    }
    void TearDown() override
    {
        for (const wchar_t* path : {kProgram, L"C:\\QVS.exe", L"C:\\QVS.ini", L"C:\\QVS.started"})
        {
            DeleteFileW(path);
        }
    }
    static constexpr const wchar_t* kProgram = L"C:\\QVSCliUpdate.exe";
};
} // namespace

TEST_F(ProgramInDriveRoot, SaysWhyAndWaitsWithoutStartingAnything)
{
    RunningProgram program(L"\"" + std::wstring(kProgram) + L"\"");
    ASSERT_TRUE(program.started());
    const std::wstring text = program.WaitForText(L"Error!..");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(0u, text.find(L"Error!..")) << ToUtf8(text);
    EXPECT_NE(std::wstring::npos, text.find(L"C:\\")) << ToUtf8(text);
    // It waits for the user and starts nothing.
    EXPECT_EQ(static_cast<DWORD>(-1), program.Wait(500));
    EXPECT_FALSE(Exists(L"C:\\QVS.started"));
    PressOk(program.FindDialog());
    EXPECT_NE(static_cast<DWORD>(-1), program.Wait(20000));
    EXPECT_FALSE(Exists(L"C:\\QVS.started"));
    EXPECT_FALSE(Exists(L"C:\\bin"));
}
