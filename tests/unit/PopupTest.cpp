// User-interface threads and the status popup that one of them shows while a
// walk or a copy runs.
#include "framework/AfxThread.h"
#include "framework/AfxWinApp.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"
#include "lib/ResString.h"

#include "tests/unit/FileIteratorTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using qvstest::TempDir;
using qvswalktest::FindStatusPopup;
using qvswalktest::WaitForStatusPopup;

namespace
{
// Records its life from the outside.
struct ThreadLife
{
    std::atomic<int> initCalls{0};
    std::atomic<int> exitCalls{0};
    std::atomic<int> destroyed{0};
    std::atomic<DWORD> initThreadId{0};
    BOOL initResult = TRUE;
};
ThreadLife g_life;

class CTestThread : public CWinThread
{
    DECLARE_DYNCREATE(CTestThread)
public:
    CTestThread() = default;
    ~CTestThread() override { ++g_life.destroyed; }
    BOOL InitInstance() override
    {
        ++g_life.initCalls;
        g_life.initThreadId = GetCurrentThreadId();
        return g_life.initResult;
    }
    int ExitInstance() override
    {
        ++g_life.exitCalls;
        return CWinThread::ExitInstance();
    }
};
IMPLEMENT_DYNCREATE(CTestThread, CWinThread)

class CNotAThread : public CObject
{
    DECLARE_DYNCREATE(CNotAThread)
};
IMPLEMENT_DYNCREATE(CNotAThread, CObject)

void ResetLife(BOOL initResult = TRUE)
{
    g_life.initCalls = 0;
    g_life.exitCalls = 0;
    g_life.destroyed = 0;
    g_life.initThreadId = 0;
    g_life.initResult = initResult;
}

// A handle to the thread that outlives the object (which deletes itself).
UniqueKernelHandle DuplicateThreadHandle(const CWinThread* pThread)
{
    HANDLE h = nullptr;
    DuplicateHandle(GetCurrentProcess(), pThread->m_hThread.get(), GetCurrentProcess(), &h,
                    SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0);
    return UniqueKernelHandle(h);
}

// The popup's dialog template lives in the program's resources, opened as the
// string module: dialogs come from there while this lives.
class ProgramResources
{
public:
    ProgramResources() { AfxSetResourceHandle(SCResUString::s_hModule); }
    ~ProgramResources() { AfxSetResourceHandle(nullptr); }
    ProgramResources(const ProgramResources&) = delete;
    ProgramResources& operator=(const ProgramResources&) = delete;
};

// What the walk's callback saw of the popup and of the iterator.
struct PopupWatch
{
    SCFileIterator* pIterator = nullptr;
    int calls = 0;
    HWND hPopup = nullptr;
    bool threadKnown = false;
};
PopupWatch g_watch;

LRESULT WatchPopup(const std::wstring&, CWnd*)
{
    if (g_watch.calls++ == 0)
    {
        g_watch.hPopup = WaitForStatusPopup(true);
        g_watch.threadKnown =
            g_watch.pIterator == nullptr || g_watch.pIterator->m_pStatusThread != nullptr;
    }
    return 0;
}
} // namespace

TEST(UserInterfaceThread, RunsItsLoopOnItsOwnThreadUntilQuitThenEndsAndDeletesItself)
{
    ResetLife();
    CWinThread* pThread = AfxBeginThread(RUNTIME_CLASS(CTestThread));
    ASSERT_NE(nullptr, pThread);
    EXPECT_TRUE(pThread->IsKindOf(RUNTIME_CLASS(CTestThread)));
    const DWORD threadId = pThread->m_nThreadID;
    EXPECT_NE(0u, threadId);
    EXPECT_NE(GetCurrentThreadId(), threadId);
    UniqueKernelHandle thread = DuplicateThreadHandle(pThread);
    ASSERT_TRUE(thread);

    // Still running: nothing has told it to end.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread.get(), 200));
    EXPECT_EQ(1, g_life.initCalls.load());
    EXPECT_EQ(threadId, g_life.initThreadId.load());
    EXPECT_EQ(0, g_life.exitCalls.load());

    ASSERT_TRUE(PostThreadMessageW(threadId, WM_QUIT, 7, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
    DWORD exitCode = 0;
    GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(7u, exitCode);
    EXPECT_EQ(1, g_life.exitCalls.load());
    EXPECT_EQ(1, g_life.destroyed.load());
}

TEST(UserInterfaceThread, AFailedInitInstanceGoesStraightToExitInstance)
{
    ResetLife(FALSE);
    CWinThread* pThread = AfxBeginThread(RUNTIME_CLASS(CTestThread));
    ASSERT_NE(nullptr, pThread);
    // The object may be gone already: only the thread ID is used from here on.
    const DWORD threadId = pThread->m_nThreadID;
    UniqueKernelHandle thread(OpenThread(SYNCHRONIZE, FALSE, threadId));
    if (thread)
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
    }
    for (int i = 0; i < 500 && g_life.destroyed.load() == 0; ++i)
    {
        Sleep(10);
    }
    EXPECT_EQ(1, g_life.initCalls.load());
    EXPECT_EQ(1, g_life.exitCalls.load());
    EXPECT_EQ(1, g_life.destroyed.load());
    ResetLife();
}

TEST(UserInterfaceThread, OnlyCreatableThreadClassesStart)
{
    EXPECT_EQ(nullptr, AfxBeginThread(RUNTIME_CLASS(CNotAThread)));
    EXPECT_EQ(nullptr, AfxBeginThread(RUNTIME_CLASS(CWinThread))); // not creatable
    EXPECT_EQ(nullptr, AfxBeginThread(nullptr));
}

TEST(StatusThread, IsCreatableByItsRunTimeClassName)
{
    EXPECT_STREQ("SCRecurseThread", RUNTIME_CLASS(SCRecurseThread)->m_lpszClassName);
    EXPECT_TRUE(RUNTIME_CLASS(SCRecurseThread)->IsDerivedFrom(RUNTIME_CLASS(CWinThread)));
}

TEST(StatusThread, AQuitPostedTheMomentItStartsIsNeverLost)
{
    // Many quick rounds without the popup's template (the thread still runs its
    // loop), then a few with the popup itself: each must end on its one quit.
    for (int round = 0; round < 60; ++round)
    {
        const bool bWithPopup = round >= 57;
        std::unique_ptr<ProgramResources> resources;
        if (bWithPopup)
        {
            resources = std::make_unique<ProgramResources>();
        }
        CWinThread* pThread = AfxBeginThread(RUNTIME_CLASS(SCRecurseThread));
        ASSERT_NE(nullptr, pThread);
        UniqueKernelHandle thread = DuplicateThreadHandle(pThread);
        ASSERT_TRUE(PostThreadMessageW(pThread->m_nThreadID, WM_QUIT, 0, 0)) << round;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 15000)) << round;
    }
    EXPECT_EQ(nullptr, FindStatusPopup());
}

TEST(StatusThread, WithoutItsTemplateTheThreadStillWaitsForItsQuit)
{
    // The test program holds no dialog templates of its own.
    CWinThread* pThread = AfxBeginThread(RUNTIME_CLASS(SCRecurseThread));
    ASSERT_NE(nullptr, pThread);
    UniqueKernelHandle thread = DuplicateThreadHandle(pThread);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread.get(), 200));
    EXPECT_EQ(nullptr, FindStatusPopup());
    ASSERT_TRUE(PostThreadMessageW(pThread->m_nThreadID, WM_QUIT, 0, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
}

TEST(StatusPopup, ShownCentredWhileAWalkRunsAndGoneAfterIt)
{
    ProgramResources resources;
    TempDir dir;
    qvstest::MakeDirs(dir / L"sub");
    qvstest::WriteBytes(dir / L"sub\\f.txt", "f");
    ClearList(FileListKind::Client);
    SCFileIterator iterator;
    g_watch = PopupWatch{&iterator};
    iterator.SetRootFolder(dir.path());
    iterator.Walk(FileListKind::Client, &WatchPopup, nullptr);
    ClearList(FileListKind::Client);

    ASSERT_NE(nullptr, g_watch.hPopup) << "no popup while the walk ran";
    EXPECT_TRUE(g_watch.threadKnown);
    EXPECT_EQ(nullptr, iterator.m_pStatusThread);
    // Its own thread, no caption, centred on the screen's work area.
    EXPECT_NE(GetCurrentThreadId(), GetWindowThreadProcessId(g_watch.hPopup, nullptr));
    const DWORD style = static_cast<DWORD>(GetWindowLongW(g_watch.hPopup, GWL_STYLE));
    EXPECT_EQ(0u, style & WS_DLGFRAME);
    EXPECT_NE(0u, style & WS_BORDER);
    RECT rc{};
    GetWindowRect(g_watch.hPopup, &rc);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((work.left + work.right) / 2, (rc.left + rc.right) / 2, 2);
    EXPECT_NEAR((work.top + work.bottom) / 2, (rc.top + rc.bottom) / 2, 2);

    EXPECT_EQ(nullptr, WaitForStatusPopup(false)) << "the popup stayed after the walk";
}

TEST(StatusPopup, ShownWhileACopyRunsAndGoneAfterIt)
{
    ProgramResources resources;
    TempDir release;
    TempDir install;
    qvstest::MakeDirs(install / L"bin");
    SetAppFolderForTesting(install / L"bin\\");
    qvstest::WriteBytes(release / L"a.dll", "a");
    FileList plan;
    auto pEntry = std::make_unique<FileListEntry>();
    pEntry->folder = release.path() + L"\\";
    pEntry->name = L"a.dll";
    pEntry->target = install / L"bin\\";
    plan.push_back(std::move(pEntry));
    g_watch = PopupWatch{};
    EXPECT_TRUE(SCFileIterator::CopyFiles(&plan, &WatchPopup, nullptr));
    SetAppFolderForTesting(L"");
    EXPECT_NE(nullptr, g_watch.hPopup) << "no popup while the copy ran";
    EXPECT_EQ(nullptr, WaitForStatusPopup(false)) << "the popup stayed after the copy";
}

TEST(StatusPopup, AWalkWithThePopupTurnedOffShowsNone)
{
    ProgramResources resources;
    TempDir dir;
    qvstest::MakeDirs(dir / L"sub");
    SCFileIterator iterator;
    iterator.EnableStatusPopup(false);
    iterator.SetRootFolder(dir.path());
    g_watch = PopupWatch{};
    struct Seen
    {
        static LRESULT Check(const std::wstring&, CWnd*)
        {
            g_watch.hPopup = FindStatusPopup();
            ++g_watch.calls;
            return 0;
        }
    };
    iterator.Walk(FileListKind::Client, &Seen::Check, nullptr);
    EXPECT_EQ(1, g_watch.calls);
    EXPECT_EQ(nullptr, g_watch.hPopup);
}
