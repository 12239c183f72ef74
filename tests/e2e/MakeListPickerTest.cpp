// The release-list maker started without arguments, as from Explorer: the folder
// is chosen in the directory chooser and the summary is shown in a message box.
#include "lib/File.h"
#include "tests/support/DialogProbe.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace qvstest;

namespace
{
// A visible top-level window of the process that passes the test, waiting for it.
HWND WaitForWindow(DWORD pid, const std::function<bool(HWND)>& test, DWORD timeoutMs = 20000)
{
    struct Search
    {
        DWORD pid;
        const std::function<bool(HWND)>* test;
        HWND found;
    } search{pid, &test, nullptr};
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (search.found == nullptr && GetTickCount64() < deadline)
    {
        EnumWindows(
            [](HWND hWnd, LPARAM lParam) -> BOOL
            {
                auto* s = reinterpret_cast<Search*>(lParam);
                DWORD owner = 0;
                GetWindowThreadProcessId(hWnd, &owner);
                if (owner == s->pid && IsWindowVisible(hWnd) && (*s->test)(hWnd))
                {
                    s->found = hWnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr)
        {
            Sleep(50);
        }
    }
    return search.found;
}

bool IsChooser(HWND hWnd)
{
    return GetDlgItem(hWnd, 1121) != nullptr && GetDlgItem(hWnd, 1137) != nullptr;
}

bool IsSummaryBox(HWND hWnd)
{
    wchar_t caption[32] = {};
    GetWindowTextW(hWnd, caption, 32);
    return wcscmp(caption, L"QVSMakeList") == 0;
}

void Click(HWND hDlg, int nId)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(hDlg, nId), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
}

std::wstring MakerCommand()
{
    return L"\"" + ExeFolder() + L"QVSMakeList.exe\"";
}
} // namespace

TEST(MakeListPicker, TheChosenFolderIsListedAndTheSummaryShownInABox)
{
    TempDir release;
    MakeDirs(release / L"bin");
    WriteBytes(release / L"bin\\app.dll", "app");
    WriteBytes(release / L"readme.txt", "read me");
    // The chooser opens in the current folder: the release.
    RunningProgram maker(MakerCommand(), release.path());
    ASSERT_TRUE(maker.started());
    const HWND hChooser = WaitForWindow(maker.id(), &IsChooser);
    ASSERT_NE(nullptr, hChooser);
    Click(hChooser, IDOK);

    const HWND hBox = WaitForWindow(maker.id(), &IsSummaryBox);
    ASSERT_NE(nullptr, hBox);
    wchar_t text[1024] = {};
    GetDlgItemTextW(hBox, 0xFFFF, text, 1024);
    const std::wstring summary = text;
    EXPECT_NE(std::wstring::npos, summary.find(L"2 files in 2 folders")) << ToUtf8(summary);
    EXPECT_NE(std::wstring::npos,
              summary.find(L"SourceFolder=\\\\" + ComputerName() + release.path().substr(2)))
        << ToUtf8(summary);
    PostMessageW(hBox, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(0u, maker.Wait(20000));

    ASSERT_TRUE(OpenListFile(FileListKind::Server, release.path()));
    EXPECT_TRUE(ReadList(FileListKind::Server));
    EXPECT_EQ(2u, GetList(FileListKind::Server).size());
    CloseListFile(FileListKind::Server);
    ClearList(FileListKind::Server);
}

TEST(MakeListPicker, CancelWritesNothingAndShowsNothing)
{
    TempDir release;
    WriteBytes(release / L"a.txt", "a");
    RunningProgram maker(MakerCommand(), release.path());
    const HWND hChooser = WaitForWindow(maker.id(), &IsChooser);
    ASSERT_NE(nullptr, hChooser);
    Click(hChooser, IDCANCEL);
    EXPECT_EQ(5u, maker.Wait(20000));
    EXPECT_FALSE(Exists(release / L"HotUpdateFileList_Server.txt"));
}

TEST(MakeListPicker, AFolderThatCannotBeAReleaseIsExplainedInTheBox)
{
    // The root of a drive is refused: the box says why and the exit code tells.
    RunningProgram maker(MakerCommand(), L"C:\\");
    const HWND hChooser = WaitForWindow(maker.id(), &IsChooser);
    ASSERT_NE(nullptr, hChooser);
    Click(hChooser, IDOK);
    const HWND hBox = WaitForWindow(maker.id(), &IsSummaryBox);
    ASSERT_NE(nullptr, hBox);
    wchar_t text[1024] = {};
    GetDlgItemTextW(hBox, 0xFFFF, text, 1024);
    EXPECT_NE(std::wstring::npos, std::wstring(text).find(L"root folder of its drive"))
        << ToUtf8(text);
    PostMessageW(hBox, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(1u, maker.Wait(20000));
    EXPECT_FALSE(Exists(L"C:\\HotUpdateFileList_Server.txt"));
}
