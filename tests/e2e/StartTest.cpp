// Starts that update nothing: without a release folder the client is started at
// once, from the program's folder, without the arguments; a missing client ends
// the start quietly. And the start of a program that has no installation root.
#include "tests/support/Scenario.h"

using namespace qvstest;

TEST(Start, WithoutAReleaseFolderOnlyTheClientIsStarted)
{
    const wchar_t* const inis[] = {
        nullptr,
        L"\xFEFF[Client]\r\nSourceFolder=\\\\server\\share\r\n",
        L"\xFEFF[HotUpdate]\r\nSourceFolder=\r\nUpdateSucceeded=1\r\n",
    };
    for (const wchar_t* ini : inis)
    {
        SCOPED_TRACE(ini == nullptr ? "no QVS.ini" : ToUtf8(ini));
        Installation inst;
        if (ini != nullptr)
        {
            WriteUtf16(inst.bin() + L"\\QVS.ini", ini);
        }
        // A decoy client in the current folder must not be the one started.
        TempDir elsewhere;
        ASSERT_TRUE(CopyFileW((ExeFolder() + L"StandInClient.exe").c_str(),
                              (elsewhere / L"QVS.exe").c_str(), FALSE));
        Program::Options options;
        options.currentDir = elsewhere.path();
        options.countWindows = true;
        Program program(inst.Command(L"/force \"two words\""), options);
        EXPECT_EQ(0u, program.Wait());
        EXPECT_EQ(0, program.WindowsCreated());
        EXPECT_TRUE(WaitUntil([&] { return !inst.ClientStarts().empty(); }, 10000));
        const std::vector<std::wstring> starts = inst.ClientStarts();
        ASSERT_EQ(1u, starts.size());
        EXPECT_EQ(0u, starts[0].find(L"started\t\"" + inst.bin() + L"\\QVS.exe\"\t" +
                                     elsewhere.path() + L"\t"))
            << ToUtf8(starts[0]);
        EXPECT_FALSE(Exists(elsewhere / L"QVS.started"));
        EXPECT_EQ("<no log>", inst.Log());
        ASSERT_EQ(ini != nullptr, Exists(inst.bin() + L"\\QVS.ini"));
        EXPECT_TRUE(ini == nullptr || ReadUtf16(inst.bin() + L"\\QVS.ini") == ini);
        EXPECT_FALSE(Exists(inst.Path(L"HotUpdateFileList_Client.txt")));
    }
    Installation inst;
    ASSERT_TRUE(DeleteFileW((inst.bin() + L"\\QVS.exe").c_str()));
    EXPECT_EQ(0u, RunProgram(inst.Command(), 20000));
    EXPECT_EQ("<no log>", inst.Log());
}

// Run only by e2e/event-log.sh, alone on C:\, which reads the event records it
// makes: the program in the root of drive C:, where no installation root exists,
// says why in the dialog and waits without starting anything.
TEST(ProgramInDriveRoot, SaysWhyAndWaitsWithoutStartingAnything)
{
    const std::wstring program = L"C:\\QVSCliUpdate.exe";
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"QVSCliUpdate.exe").c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"StandInClient.exe").c_str(), L"C:\\QVS.exe", FALSE));
    WriteUtf16(L"C:\\QVS.ini", L"\xFEFF[HotUpdate]\r\nSourceFolder=\\\\qvsserver\\release\\none\r\n");
    {
        Program run(L"\"" + program + L"\"");
        const std::wstring text = run.WaitForText(L"Error!..");
        EXPECT_EQ(0u, text.find(L"Error!..")) << ToUtf8(text);
        EXPECT_NE(std::wstring::npos, text.find(L" C:\\")) << ToUtf8(text);
        EXPECT_FALSE(run.Ended());
        run.PressOk();
        EXPECT_EQ(0u, run.Wait());
    }
    EXPECT_FALSE(Exists(L"C:\\QVS.started"));
    EXPECT_FALSE(Exists(L"C:\\bin"));
    for (const wchar_t* path : {L"C:\\QVSCliUpdate.exe", L"C:\\QVS.exe", L"C:\\QVS.ini"})
    {
        DeleteFileW(path);
    }
}
