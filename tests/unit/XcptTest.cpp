// The error convention: what reaches the event log, and what never does.
#include "lib/Xcpt.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using qvstest::EventRecorder;
using qvstest::MessageBoxRecorder;

namespace
{
DWORD RaiseAndHandle(DWORD nCode, LPCWSTR pszRaiseFile, DWORD nRaiseLine, LPCWSTR pszCatchFile,
                     DWORD nCatchLine)
{
    try
    {
        ThrowSCException(nCode, pszRaiseFile, nRaiseLine);
    }
    catch (CException* e)
    {
        return HandleException(e, pszCatchFile, nCatchLine);
    }
    return 0;
}
} // namespace

TEST(ErrorEvents, UncodedRaiseWritesNothing)
{
    EventRecorder recorder;
    EXPECT_EQ(SC_NO_CODE, RaiseAndHandle(SC_NO_CODE, L"C:\\src\\A.cpp", 94, L"B.cpp", 20));
    EXPECT_TRUE(recorder.events.empty());
}

TEST(ErrorEvents, CodedRaiseIsLoggedWhereMadeAndWhereCaught)
{
    EventRecorder recorder;
    EXPECT_EQ(15000u, RaiseAndHandle(15000, L"D:\\work\\lib\\Miscellaneous.cpp", 94,
                                     L"/build/app/QVSCliUpdate.cpp", 20));
    ASSERT_EQ(2u, recorder.events.size());
    for (const auto& event : recorder.events)
    {
        EXPECT_EQ(EVENTLOG_ERROR_TYPE, event.type);
        EXPECT_EQ(SC_EVENT_ERROR, event.id);
        ASSERT_EQ(3u, event.strings.size());
        EXPECT_EQ(L"15000", event.strings[0]);
    }
    EXPECT_EQ(L"Miscellaneous.cpp", recorder.events[0].strings[1]);
    EXPECT_EQ(L"94", recorder.events[0].strings[2]);
    EXPECT_EQ(L"QVSCliUpdate.cpp", recorder.events[1].strings[1]);
    EXPECT_EQ(L"20", recorder.events[1].strings[2]);
}

TEST(ErrorEvents, CatchSiteReplacesFileAndLine)
{
    EventRecorder recorder;
    try
    {
        ThrowSCException(SC_NO_CODE, L"A.cpp", 1);
    }
    catch (SCException* e)
    {
        EXPECT_EQ(L"A.cpp", e->m_strFile);
        EXPECT_EQ(1u, e->m_nLine);
        e->Delete();
    }
}

TEST(ErrorEvents, FrameworkExceptionsAreClassified)
{
    struct Case
    {
        CException* e;
        DWORD code;
    };
    // Classes with a message give a warning; without one an error with the code.
    EventRecorder recorder;
    const Case cases[] = {
        {new CNotSupportedException, 3000},
        {new CArchiveException(CArchiveException::endOfFile), 4000},
        {new CFileException(CFileException::sharingViolation, ERROR_SHARING_VIOLATION, L"x.dll"),
         5000},
        {new CResourceException, 6000},
        {new COleException(E_FAIL), 7000},
        {new CUserException, 9000},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.code, HandleException(c.e, L"Z:\\src\\Site.cpp", 7));
    }
    ASSERT_EQ(6u, recorder.events.size());
    for (size_t i = 0; i < 5; ++i)
    {
        EXPECT_EQ(EVENTLOG_WARNING_TYPE, recorder.events[i].type) << i;
        EXPECT_EQ(SC_EVENT_WARNING, recorder.events[i].id);
        EXPECT_FALSE(recorder.events[i].strings[0].empty());
        EXPECT_EQ(L"Site.cpp", recorder.events[i].strings[1]);
        EXPECT_EQ(L"7", recorder.events[i].strings[2]);
    }
    // The file exception's text is the system's, naming the file.
    EXPECT_NE(std::wstring::npos, recorder.events[2].strings[0].find(L"x.dll"));
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, recorder.events[5].type);
    EXPECT_EQ(L"9000", recorder.events[5].strings[0]);
}

TEST(ErrorEvents, MemoryExceptionSurvivesItsHandler)
{
    EventRecorder recorder;
    try
    {
        AfxThrowMemoryException();
    }
    catch (CException* e)
    {
        EXPECT_EQ(2000u, HandleException(e, L"M.cpp", 3));
    }
    // The static object is reused: a second raise still works.
    try
    {
        AfxThrowMemoryException();
    }
    catch (CException* e)
    {
        EXPECT_TRUE(e->IsKindOf(RUNTIME_CLASS(CMemoryException)));
        EXPECT_EQ(2000u, HandleException(e, L"M.cpp", 4));
    }
    EXPECT_EQ(2u, recorder.events.size());
}

TEST(ErrorEvents, NothingIsWrittenWithoutARegisteredSource)
{
    {
        EventRecorder recorder(0, false);
        LogErrorEvent(1, L"a.cpp", 1);
        LogWarningEvent(L"w", L"a.cpp", 1);
        EXPECT_EQ(15000u, RaiseAndHandle(15000, L"a.cpp", 1, L"b.cpp", 2));
        EXPECT_TRUE(recorder.events.empty());
    }
    {
        EventRecorder recorder;
        EXPECT_TRUE(DeregisterEventLogSource());
        LogErrorEvent(1, L"a.cpp", 1);
        EXPECT_TRUE(recorder.events.empty());
        EXPECT_EQ(1, recorder.deregisterCalls);
        // A second deregistration has nothing to release.
        EXPECT_TRUE(DeregisterEventLogSource());
        EXPECT_EQ(1, recorder.deregisterCalls);
    }
}

TEST(EventLogRegistration, RetryTriesAgainAndAbortGivesUp)
{
    MessageBoxRecorder boxes({IDRETRY, IDABORT});
    EventRecorder recorder(5, false);
    EXPECT_FALSE(RegisterEventLogSource(L"QVSCliUpdate"));
    EXPECT_EQ(2, recorder.registerCalls);
    ASSERT_EQ(2u, boxes.boxes.size());
    EXPECT_EQ(L"Quovisa", boxes.boxes[0].caption);
    EXPECT_EQ(L"Application was unable to open the event log,\nPlease notify your support "
              L"organization !",
              boxes.boxes[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_ABORTRETRYIGNORE | MB_ICONWARNING | MB_TASKMODAL |
                                MB_SETFOREGROUND | MB_SERVICE_NOTIFICATION),
              boxes.boxes[0].type);
    LogErrorEvent(15000, L"a.cpp", 1);
    EXPECT_TRUE(recorder.events.empty());
}

TEST(EventLogRegistration, RetrySucceedsOnSecondTry)
{
    MessageBoxRecorder boxes({IDRETRY});
    EventRecorder recorder(1, false);
    EXPECT_TRUE(RegisterEventLogSource(L"QVSCliUpdate"));
    EXPECT_EQ(2, recorder.registerCalls);
    EXPECT_EQ(1u, boxes.boxes.size());
    LogErrorEvent(15000, L"a.cpp", 1);
    EXPECT_EQ(1u, recorder.events.size());
}

TEST(EventLogRegistration, IgnoreGoesOnWithoutEvents)
{
    MessageBoxRecorder boxes({IDIGNORE});
    EventRecorder recorder(1, false);
    EXPECT_TRUE(RegisterEventLogSource(L"QVSCliUpdate"));
    LogErrorEvent(15000, L"a.cpp", 1);
    EXPECT_TRUE(recorder.events.empty());
}

TEST(PopupMessageBox, ShowsTimeMessageFileAndLine)
{
    MessageBoxRecorder boxes;
    PopupMessage(L"Cannot find module X.exe !", L"C:\\src\\ResString.cpp", 42);
    ASSERT_EQ(1u, boxes.boxes.size());
    const auto& box = boxes.boxes[0];
    EXPECT_EQ(L"Popup Message", box.caption);
    EXPECT_EQ(0x212010u, box.type);
    EXPECT_EQ(0u, box.text.find(L"LOG ENTRY: "));
    // _wctime64 gives 24 characters and its own line feed.
    EXPECT_EQ(L'\n', box.text[11 + 24]);
    EXPECT_NE(std::wstring::npos, box.text.find(L"\r\n\tMsg: Cannot find module X.exe !\r\n\tFile: "
                                                L"C:\\src\\ResString.cpp\r\n\tLine: 42\r\n\r\n"));
}

TEST(ProcessUserSid, IsAValidCopy)
{
    const PSID sid = GetProcessUserSid();
    ASSERT_NE(nullptr, sid);
    EXPECT_TRUE(IsValidSid(sid));
    HeapFree(GetProcessHeap(), 0, sid);
}
