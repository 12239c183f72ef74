// Folder links that lead back up the tree or out of it, in the installation and
// in the release: the walk reports them, never enters them, and ends.
#include "tests/e2e/FaultFixture.h"

using namespace qvsfault;

TEST_F(FaultRun, LinksThatLoopOrLeadOutAreReportedAndNotEntered)
{
    Install(L"bin\\app.dll", "app version 1", T(2025, 6, 1));
    Publish(L"bin\\app.dll", "app version 2", T(2026, 1, 10));
    // In the installation: bin\loop leads to the root, bin\out to the release.
    const std::wstring releaseName = m_release.local().substr(m_release.local().rfind(L'\\') + 1);
    if (!MakeUnixLink(m_inst.bin(), L"loop", L"..") ||
        !MakeUnixLink(m_release.local() + L"\\bin", L"loop", L".."))
    {
        GTEST_SKIP() << "this system makes no folder links that a test can use";
    }
    ASSERT_EQ(0u, m_release.Publish());

    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    const std::string log = Log();
    EXPECT_NE(std::string::npos,
              log.find("Reading directory..." + ToUtf8(m_inst.bin()) + "\\loop\r\n"))
        << log;
    EXPECT_EQ(std::string::npos, log.find("\\loop\\")) << log;
    const std::wstring clientList = ReadUtf16(m_inst.root() + L"\\HotUpdateFileList_Client.txt");
    EXPECT_EQ(std::wstring::npos, clientList.find(L"\\loop\\"));
    const std::wstring serverList = ReadUtf16(LocalListCopy());
    EXPECT_EQ(std::wstring::npos, serverList.find(L"\\loop\\"));
    EXPECT_NE(std::wstring::npos, serverList.find(L"\t\tapp.dll\t\t"));

    EXPECT_TRUE(RemoveUnixLink(m_inst.bin(), L"loop"));
    EXPECT_TRUE(RemoveUnixLink(m_release.local() + L"\\bin", L"loop"));
    (void)releaseName;
}

TEST_F(FaultRun, ADeepInstallationIsWalkedAndUpdated)
{
    // 120 levels below bin: the walk takes them without running out of stack.
    std::wstring deep = L"bin";
    for (int level = 0; level < 120; ++level)
    {
        deep += L"\\d";
    }
    Install(deep + L"\\bottom.dll", "bottom version 1", T(2025, 6, 1));
    Publish(deep + L"\\bottom.dll", "bottom version 2", T(2026, 1, 10));
    ASSERT_EQ(0u, m_release.Publish());
    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    RemoveLongTree(m_inst.root() + L"\\bin\\d");
    RemoveLongTree(m_release.local() + L"\\bin\\d");
}
