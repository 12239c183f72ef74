// The status popup is on screen when it has been made and gone when it has been
// ended: its thread never makes or destroys its window while the work goes on with
// the dialog's (under Wine two threads doing so at once were seen to stop for good).
#include "framework/AfxWinApp.h"
#include "lib/FileIterator.h"
#include "tests/support/Support.h"

#include <gtest/gtest.h>

using namespace qvstest;

namespace
{
// The visible top-level window of a thread, or null.
HWND VisibleWindowOf(DWORD nThreadId)
{
    HWND found = nullptr;
    EnumThreadWindows(
        nThreadId,
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            if (!IsWindowVisible(hWnd))
            {
                return TRUE;
            }
            *reinterpret_cast<HWND*>(lParam) = hWnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}
} // namespace

TEST(StatusPopup, IsOnScreenOnceMadeAndGoneOnceEnded)
{
    // The popup's template is the program's.
    const UniqueModule program = ProgramResources();
    ASSERT_TRUE(program.valid());
    struct Templates
    {
        HINSTANCE hBefore = AfxGetResourceHandle();
        ~Templates() { AfxSetResourceHandle(hBefore); }
    } templates;
    AfxSetResourceHandle(program.get());
    for (int nRound = 1; nRound <= 3; ++nRound)
    {
        SCOPED_TRACE(testing::Message() << "popup " << nRound);
        SCStatusPopup popup;
        ASSERT_NE(nullptr, popup.Get());
        const HWND hPopup = VisibleWindowOf(popup.Get()->m_nThreadID);
        EXPECT_NE(nullptr, hPopup);
        // While one is up, nobody makes a second.
        EXPECT_EQ(nullptr, SCStatusPopup().Get());
        popup.End();
        EXPECT_FALSE(IsWindow(hPopup));
    }
}
