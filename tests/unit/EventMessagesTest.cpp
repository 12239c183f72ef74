// The message table Event Viewer reads from the built program: every event ID the
// program writes gives its text with all three inserts, each as it was given (a
// "%" in a reason is not read again).
#include "lib/Xcpt.h"
#include "tests/support/Support.h"

#include <gtest/gtest.h>

using namespace qvstest;

TEST(EventMessages, EveryEventIdOfTheProgramHasItsTextWithItsThreeInserts)
{
    const UniqueModule program = ProgramResources();
    ASSERT_TRUE(program.valid());
    const struct
    {
        DWORD dwEventId;
        const wchar_t* pszFirst;
        const wchar_t* pszExpected;
    } kRows[] = {
        {SC_EVENT_ERROR, L"15000",
         L"The update stopped an operation with error code 15000 (source file Miscellaneous, "
         L"line 42)."},
        {SC_EVENT_WARNING, L"The release folder \\\\SRV01\\Release %1 did not answer within 3 seconds.",
         L"The release folder \\\\SRV01\\Release %1 did not answer within 3 seconds.\r\n"
         L"(source file Miscellaneous, line 42)"},
    };
    for (const auto& row : kRows)
    {
        const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(row.pszFirst),
                                     reinterpret_cast<DWORD_PTR>(L"Miscellaneous"),
                                     reinterpret_cast<DWORD_PTR>(L"42")};
        UniqueLocal text;
        const DWORD nChars = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                FORMAT_MESSAGE_ALLOCATE_BUFFER,
            program.get(), row.dwEventId, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
            reinterpret_cast<LPWSTR>(text.put()), 0,
            reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
        ASSERT_NE(0u, nChars) << std::hex << row.dwEventId << ": " << std::dec << GetLastError();
        EXPECT_EQ(ToUtf8(row.pszExpected),
                  ToUtf8(std::wstring(static_cast<const wchar_t*>(text.get()), nChars)));
    }
}
