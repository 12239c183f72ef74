// The program folder and the installation root.
#include "lib/Miscellaneous.h"

#include "lib/Xcpt.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using qvstest::EventRecorder;

namespace
{
DWORD RootFolderRaise(const std::wstring& appFolder, DWORD* pLine = nullptr)
{
    try
    {
        RootFolderFromAppFolder(appFolder);
    }
    catch (SCException* e)
    {
        const DWORD code = e->m_nCode;
        if (pLine != nullptr)
        {
            *pLine = e->m_nLine;
        }
        e->Delete();
        return code;
    }
    return 0;
}
} // namespace

TEST(ProgramFolders, FolderAndRootOfAProgramPath)
{
    EXPECT_EQ(L"D:\\Apps\\Client\\bin\\",
              AppFolderFromModulePath(L"D:\\Apps\\Client\\bin\\QVSCliUpdate.exe"));
    EXPECT_EQ(L"D:\\Apps\\Client", RootFolderFromAppFolder(L"D:\\Apps\\Client\\bin\\"));
    EXPECT_EQ(L"D:",
              RootFolderFromAppFolder(AppFolderFromModulePath(L"D:\\Client\\QVSCliUpdate.exe")));
    EXPECT_EQ(L"D:\\", AppFolderFromModulePath(L"D:\\QVSCliUpdate.exe"));
    EXPECT_EQ(L"", AppFolderFromModulePath(L"QVSCliUpdate.exe"));
}

TEST(ProgramFolders, TooFewLevelsRaise15000FromTwoDifferentTests)
{
    EventRecorder recorder;
    DWORD nLineNoBackslash = 0;
    DWORD nLineDriveRoot = 0;
    EXPECT_EQ(15000u, RootFolderRaise(L"", &nLineNoBackslash));
    EXPECT_EQ(15000u, RootFolderRaise(L"D:\\", &nLineDriveRoot));
    EXPECT_NE(nLineNoBackslash, nLineDriveRoot);
    // A coded raise is written where it is made.
    ASSERT_EQ(2u, recorder.events.size());
    EXPECT_EQ(L"15000", recorder.events[0].strings[0]);
    EXPECT_EQ(L"Miscellaneous.cpp", recorder.events[0].strings[1]);
}

TEST(ProgramFolders, TheRunningProgramsFolder)
{
    SetAppFolderForTesting(L"");
    const std::wstring folder = GetAppFolder();
    EXPECT_EQ(qvstest::ExeFolder(), folder);
    EXPECT_EQ(L'\\', folder.back());
    const std::wstring root = GetAppRootFolder();
    EXPECT_EQ(0u, folder.find(root + L"\\"));
    EXPECT_EQ(std::wstring::npos,
              folder.substr(root.size() + 1, folder.size() - root.size() - 2).find(L'\\'));
}

TEST(ProgramFolders, APathLongerThanTheOldBufferIsKeptWhole)
{
    // Program paths of any length give their whole folder.
    std::wstring longFolder = L"\\\\?\\C:";
    while (longFolder.size() < 900)
    {
        longFolder += L"\\abcdefghijklmnopqrstuvwxyz0123456789";
    }
    const std::wstring path = longFolder + L"\\bin\\QVSCliUpdate.exe";
    EXPECT_EQ(longFolder + L"\\bin\\", AppFolderFromModulePath(path));
    EXPECT_EQ(longFolder, RootFolderFromAppFolder(AppFolderFromModulePath(path)));
}
