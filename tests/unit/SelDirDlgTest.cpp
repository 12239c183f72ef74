// The folder chooser on the platform's old-style file dialog, run modally under a
// real display. A thread timer acts on the dialog from inside its modal loop as a
// user would, then presses OK or Cancel.
#include "lib/SelDirDlg.h"

#include "framework/AfxException.h"
#include "framework/AfxHandle.h"
#include "framework/AfxWinApp.h"
#include "resource.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cderr.h>

#include <functional>
#include <stdexcept>
#include <vector>

using qvstest::TempDir;

namespace
{
std::wstring CurrentDir()
{
    wchar_t dir[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, dir);
    return dir;
}

// Puts the test's current directory back whatever a test leaves behind.
struct CurrentDirGuard
{
    const std::wstring saved = CurrentDir();
    ~CurrentDirGuard() { SetCurrentDirectoryW(saved.c_str()); }
};

// The chooser's template is in the program's file; the test program holds no dialog
// resources, so the dialog is pointed at the program's file, loaded for its resources.
class Chooser : public CSelDirDlg
{
public:
    explicit Chooser(LPCWSTR lpszInitialDir = nullptr, CWnd* pParentWnd = nullptr)
        : CSelDirDlg(lpszInitialDir, pParentWnd)
    {
        static const UniqueModule s_program(
            LoadLibraryExW((qvstest::ExeFolder() + L"QVSCliUpdate.exe").c_str(), nullptr,
                           LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        m_ofn.hInstance = s_program.get();
    }

    std::wstring Folder() const
    {
        std::wstring folder = L"before";
        EXPECT_EQ(&folder, &GetSelectedFolder(folder));
        return folder;
    }
};

// Runs the dialog and calls step with its window every 20 ms once it shows, until
// step returns true. After 10 s every dialog of the thread is cancelled.
using Step = std::function<bool(HWND)>;
struct Driving
{
    CFileDialog* pDlg;
    Step step;
    ULONGLONG deadline;
    bool bBusy = false;
    bool bDone = false;
}* g_pDriving = nullptr;

void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    Driving* p = g_pDriving;
    // A step may run a nested loop that dispatches this timer again.
    if (p == nullptr || p->bBusy || p->bDone)
    {
        return;
    }
    if (GetTickCount64() > p->deadline)
    {
        ADD_FAILURE() << "the dialog was closed by the time limit";
        p->bDone = true;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND hWnd, LPARAM) { return PostMessageW(hWnd, WM_COMMAND, IDCANCEL, 0); }, 0);
    }
    else if (const HWND hDlg = p->pDlg->GetSafeHwnd(); hDlg != nullptr && IsWindowVisible(hDlg))
    {
        p->bBusy = true;
        p->bDone = p->step(hDlg);
        p->bBusy = false;
    }
}

INT_PTR Drive(CFileDialog& dlg, Step step)
{
    Driving driving{&dlg, std::move(step), GetTickCount64() + 10000};
    g_pDriving = &driving;
    const UINT_PTR nTimer = SetTimer(nullptr, 0, 20, &OnTimer);
    const INT_PTR nResult = dlg.DoModal();
    KillTimer(nullptr, nTimer);
    g_pDriving = nullptr;
    return nResult;
}

bool PressOk(HWND hDlg)
{
    SendMessageW(GetDlgItem(hDlg, IDOK), BM_CLICK, 0, 0);
    return true;
}

bool PressCancel(HWND hDlg)
{
    SendMessageW(GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
    return true;
}

LRESULT FolderListSelection(HWND hDlg)
{
    return SendDlgItemMessageW(hDlg, IDC_SELDIR_DIRS, LB_GETCURSEL, 0, 0);
}

// Double-clicks a folder of the folder list with the mouse; false when it is not listed.
bool DoubleClickFolder(HWND hDlg, const std::wstring& name)
{
    const HWND hList = GetDlgItem(hDlg, IDC_SELDIR_DIRS);
    const std::wstring item = L"[" + name + L"]";
    const LRESULT index = SendMessageW(hList, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(item.c_str()));
    RECT rc{};
    if (index == LB_ERR || SendMessageW(hList, LB_GETITEMRECT, static_cast<WPARAM>(index),
                                        reinterpret_cast<LPARAM>(&rc)) == LB_ERR)
    {
        return false;
    }
    const LPARAM point = MAKELPARAM(rc.left + 4, (rc.top + rc.bottom) / 2);
    static constexpr UINT kClicks[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK,
                                       WM_LBUTTONUP};
    for (const UINT uMsg : kClicks)
    {
        const WPARAM keys = uMsg == WM_LBUTTONUP ? 0 : MK_LBUTTON;
        SendMessageW(hList, uMsg, keys, point);
    }
    return true;
}

POINT Centre(HWND hWnd)
{
    RECT rc{};
    GetWindowRect(hWnd, &rc);
    return {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
}

// Records what the chooser has done when its initialisation ends, the folder list's
// selection before every paint, and the exceptions that reach the hook.
class Probe : public Chooser
{
public:
    using Chooser::Chooser;
    BOOL initResult = -1;
    HWND focusAtInit = nullptr;
    LRESULT selectionAtInit = -2;
    std::vector<LRESULT> selectionBeforePaint;
    bool bThrowAtInit = false;
    int nCaught = 0;

protected:
    BOOL OnInitDialog() override
    {
        initResult = Chooser::OnInitDialog();
        focusAtInit = GetFocus();
        selectionAtInit = FolderListSelection(m_hWnd);
        if (bThrowAtInit)
        {
            AfxThrowUserException();
        }
        return initResult;
    }
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override
    {
        if (uMsg == WM_PAINT)
        {
            selectionBeforePaint.push_back(FolderListSelection(m_hWnd));
        }
        if (uMsg == WM_APP)
        {
            AfxThrowNotSupportedException();
        }
        if (uMsg == WM_APP + 1)
        {
            throw std::runtime_error("standard");
        }
        return Chooser::OnMessage(uMsg, wParam, lParam, lResult);
    }
    void OnUnhandledException(CException* e) noexcept override
    {
        ++nCaught;
        Chooser::OnUnhandledException(e);
    }
};
} // namespace

TEST(SelDirDlg, IsASaveDialogOnTheOldStyleTemplateOfTheProgram)
{
    CSelDirDlg dlg;
    EXPECT_EQ(static_cast<DWORD>(sizeof(OPENFILENAMEW)), dlg.m_ofn.lStructSize);
    EXPECT_EQ(static_cast<DWORD>(OFN_ENABLETEMPLATE | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT |
                                 OFN_ENABLEHOOK),
              dlg.m_ofn.Flags);
    EXPECT_EQ(static_cast<ULONG_PTR>(IDD_SELDIR),
              reinterpret_cast<ULONG_PTR>(dlg.m_ofn.lpTemplateName));
    EXPECT_EQ(AfxGetResourceHandle(), dlg.m_ofn.hInstance);
    EXPECT_EQ(nullptr, dlg.m_ofn.lpstrFilter);
    EXPECT_EQ(nullptr, dlg.m_ofn.lpstrDefExt);
    EXPECT_EQ(L"", dlg.GetPathName());
    // The running test program has no template 26: the platform refuses the dialog.
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_EQ(static_cast<DWORD>(CDERR_FINDRESFAILURE), CommDlgExtendedError());
}

TEST(SelDirDlg, OkInTheInitialFolderYieldsItWithoutBackslash)
{
    const CurrentDirGuard guard;
    const TempDir dir;
    Chooser dlg(dir.path().c_str());
    EXPECT_EQ(dir.path(), CurrentDir());
    EXPECT_EQ(IDOK, Drive(dlg, PressOk));
    EXPECT_EQ(dir / L"Junk", dlg.GetPathName());
    EXPECT_EQ(dir.path(), dlg.Folder());
}

TEST(SelDirDlg, TheRootOfDriveCYieldsTheBareDrive)
{
    const CurrentDirGuard guard;
    Chooser dlg(L"C:\\");
    EXPECT_EQ(IDOK, Drive(dlg, PressOk));
    EXPECT_EQ(L"C:", dlg.Folder());
}

TEST(SelDirDlg, ADoubleClickedFolderIsEnteredAndChosenAndTheCurrentFolderComesBack)
{
    const CurrentDirGuard guard;
    const TempDir dir;
    qvstest::MakeDirs(dir / L"Sub");
    {
        Chooser dlg(dir.path().c_str());
        const auto enterSub = [&](HWND hDlg)
        {
            EXPECT_TRUE(DoubleClickFolder(hDlg, L"Sub"));
            // The old-style dialog moves by changing the current directory.
            EXPECT_EQ(dir / L"Sub", CurrentDir());
            return PressOk(hDlg);
        };
        EXPECT_EQ(IDOK, Drive(dlg, enterSub));
        EXPECT_EQ(dir / L"Sub", dlg.Folder());
    }
    EXPECT_EQ(guard.saved, CurrentDir());
}

TEST(SelDirDlg, CancelLeavesNoFolderAndTheCurrentFolderIsRestored)
{
    const CurrentDirGuard guard;
    const TempDir dir;
    {
        Chooser dlg(dir.path().c_str());
        EXPECT_EQ(IDCANCEL, Drive(dlg, PressCancel));
        EXPECT_EQ(L"", dlg.GetPathName());
        EXPECT_EQ(L"", dlg.Folder());
        EXPECT_EQ(dir.path(), CurrentDir());
    }
    EXPECT_EQ(guard.saved, CurrentDir());
}

TEST(SelDirDlg, AMissingInitialFolderLeavesTheCurrentFolderAndTheDialogOpensThere)
{
    const CurrentDirGuard guard;
    const TempDir dir;
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    Chooser dlg((dir / L"missing").c_str());
    EXPECT_EQ(dir.path(), CurrentDir());
    EXPECT_EQ(IDOK, Drive(dlg, PressOk));
    EXPECT_EQ(dir.path(), dlg.Folder());
}

TEST(SelDirDlg, OnlyTheFolderPartsShowCentredOnTheParentWithTheFocusOnTheFolderList)
{
    const CurrentDirGuard guard;
    // A window of the test that the dialog belongs to, destroyed with the test.
    struct Parent : CWnd
    {
        ~Parent() override { DestroyWindow(m_hWnd); }
    } parent;
    parent.m_hWnd = CreateWindowExW(0, L"STATIC", L"parent", WS_POPUP | WS_VISIBLE, 40, 30, 700,
                                    600, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, parent.m_hWnd);
    const POINT parentCentre = Centre(parent.m_hWnd);
    Probe dlg(L"C:\\", &parent);
    const auto check = [&](HWND hDlg)
    {
        // The focus is the active window's: another test's window may hold the foreground.
        if (GetForegroundWindow() != hDlg)
        {
            SetForegroundWindow(hDlg);
            return false;
        }
        for (const int nID :
             {IDC_SELDIR_TYPES_LABEL, IDC_SELDIR_FILENAME_LABEL, IDC_SELDIR_FILENAME,
              IDC_SELDIR_FILES, IDC_SELDIR_TYPES, IDC_SELDIR_HELP, IDC_SELDIR_READONLY})
        {
            EXPECT_FALSE(IsWindowVisible(GetDlgItem(hDlg, nID))) << nID;
        }
        for (const int nID : {IDC_SELDIR_DIRS_LABEL, IDC_SELDIR_CURRENT_DIR, IDC_SELDIR_DIRS,
                              IDC_SELDIR_DRIVES_LABEL, IDC_SELDIR_DRIVES, IDOK, IDCANCEL})
        {
            EXPECT_TRUE(IsWindowVisible(GetDlgItem(hDlg, nID))) << nID;
        }
        wchar_t name[16] = {};
        GetDlgItemTextW(hDlg, IDC_SELDIR_FILENAME, name, 16);
        EXPECT_STREQ(L"Junk", name);
        // The chooser places the focus itself, and it stays there.
        EXPECT_FALSE(dlg.initResult);
        EXPECT_EQ(GetDlgItem(hDlg, IDC_SELDIR_DIRS), dlg.focusAtInit);
        EXPECT_EQ(GetDlgItem(hDlg, IDC_SELDIR_DIRS), GetFocus());
        EXPECT_EQ(parent.m_hWnd, GetWindow(hDlg, GW_OWNER));
        EXPECT_NEAR(parentCentre.x, Centre(hDlg).x, 1);
        EXPECT_NEAR(parentCentre.y, Centre(hDlg).y, 1);
        return PressCancel(hDlg);
    };
    EXPECT_EQ(IDCANCEL, Drive(dlg, check));
}

TEST(SelDirDlg, TheFirstPaintAloneSelectsTheFirstFolder)
{
    const CurrentDirGuard guard;
    const TempDir dir;
    qvstest::MakeDirs(dir / L"a");
    qvstest::MakeDirs(dir / L"b");
    Probe dlg(dir.path().c_str());
    const auto check = [&](HWND hDlg)
    {
        EXPECT_EQ(LB_ERR, dlg.selectionAtInit);
        EXPECT_FALSE(dlg.selectionBeforePaint.empty());
        EXPECT_EQ(LB_ERR, dlg.selectionBeforePaint.at(0));
        EXPECT_EQ(0, FolderListSelection(hDlg));
        // Later paints leave the user's choice alone.
        SendDlgItemMessageW(hDlg, IDC_SELDIR_DIRS, LB_SETCURSEL, 1, 0);
        const size_t nPaints = dlg.selectionBeforePaint.size();
        RedrawWindow(hDlg, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        EXPECT_LT(nPaints, dlg.selectionBeforePaint.size());
        EXPECT_EQ(1, FolderListSelection(hDlg));
        return PressOk(hDlg);
    };
    EXPECT_EQ(IDOK, Drive(dlg, check));
    EXPECT_EQ(dir.path(), dlg.Folder());
}

TEST(SelDirDlg, NoExceptionCrossesTheHook)
{
    const CurrentDirGuard guard;
    const TempDir dir;
    Probe dlg(dir.path().c_str());
    dlg.bThrowAtInit = true;
    const auto check = [&](HWND hDlg)
    {
        EXPECT_EQ(1, dlg.nCaught);
        SendMessageW(hDlg, WM_APP, 0, 0);
        SendMessageW(hDlg, WM_APP + 1, 0, 0);
        EXPECT_EQ(2, dlg.nCaught);
        return PressOk(hDlg);
    };
    EXPECT_EQ(IDOK, Drive(dlg, check));
    EXPECT_EQ(dir.path(), dlg.Folder());
}
