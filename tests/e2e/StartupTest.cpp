// The real program at start: without a configured release folder it only starts
// the client, from its own folder, without passing anything on.
#include "tests/support/Installation.h"

#include <gtest/gtest.h>

using qvstest::Installation;

namespace
{
// The client was started exactly once, and nothing of an update happened.
void ExpectOnlyTheClientStarted(const Installation& inst, const std::wstring& iniBefore)
{
    const auto starts = inst.ClientStarts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(0u, starts[0].find(L"started\t"));
    EXPECT_FALSE(qvstest::Exists(inst.log())) << "no dialog, so no log";
    if (iniBefore.empty())
    {
        EXPECT_FALSE(qvstest::Exists(inst.ini()));
    }
    else
    {
        EXPECT_EQ(iniBefore, qvstest::ReadUtf16(inst.ini()));
    }
    EXPECT_FALSE(qvstest::Exists(inst.root() + L"\\HotUpdateFileList_Client.txt"));
}
} // namespace

TEST(StartWithoutReleaseFolder, NoIniStartsTheClient)
{
    Installation inst;
    EXPECT_EQ(0u, inst.Run());
    ExpectOnlyTheClientStarted(inst, L"");
}

TEST(StartWithoutReleaseFolder, IniWithoutTheSectionStartsTheClient)
{
    Installation inst;
    inst.WriteIni(L"[Client]\r\nSourceFolder=\\\\server\\share\r\n");
    const std::wstring before = qvstest::ReadUtf16(inst.ini());
    EXPECT_EQ(0u, inst.Run());
    ExpectOnlyTheClientStarted(inst, before);
}

TEST(StartWithoutReleaseFolder, EmptySourceFolderStartsTheClient)
{
    Installation inst;
    inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=\r\nUpdateSucceeded=1\r\n");
    const std::wstring before = qvstest::ReadUtf16(inst.ini());
    EXPECT_EQ(0u, inst.Run());
    ExpectOnlyTheClientStarted(inst, before);
}

TEST(StartWithoutReleaseFolder, ArgumentsNeverReachTheClient)
{
    Installation inst;
    EXPECT_EQ(0u, inst.Run(L"/force \"two words\" --x=1"));
    const auto starts = inst.ClientStarts();
    ASSERT_EQ(1u, starts.size());
    const std::wstring commandLine = starts[0].substr(8, starts[0].find(L'\t', 8) - 8);
    EXPECT_EQ(std::wstring::npos, commandLine.find(L"/force"));
    EXPECT_EQ(std::wstring::npos, commandLine.find(L"two words"));
    EXPECT_EQ(std::wstring::npos, commandLine.find(L"--x=1"));
}

TEST(StartWithoutReleaseFolder, TheClientIsFoundInTheProgramsFolderWhateverTheCurrentFolder)
{
    Installation inst;
    qvstest::TempDir elsewhere;
    // A decoy client in the current folder must not be the one started.
    CopyFileW((qvstest::ExeFolder() + L"StandInClient.exe").c_str(),
              (elsewhere / L"QVS.exe").c_str(), FALSE);
    EXPECT_EQ(0u, inst.Run({}, elsewhere.path()));
    const auto starts = inst.ClientStarts();
    ASSERT_EQ(1u, starts.size());
    // The current folder is inherited by the client.
    EXPECT_NE(std::wstring::npos, starts[0].find(L"\t" + elsewhere.path() + L"\t"));
    EXPECT_FALSE(qvstest::Exists(elsewhere / L"QVS.started"));
}

TEST(StartWithoutReleaseFolder, AMissingClientEndsQuietly)
{
    Installation inst;
    DeleteFileW((inst.bin() + L"\\QVS.exe").c_str());
    EXPECT_EQ(0u, inst.Run({}, {}, 20000));
    EXPECT_FALSE(qvstest::Exists(inst.log()));
    EXPECT_FALSE(qvstest::Exists(inst.ini()));
}
