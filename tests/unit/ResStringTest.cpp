// Strings by entry number from the program's own string table.
#include "lib/ResString.h"

#include "resource.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using qvstest::EventRecorder;
using qvstest::MessageBoxRecorder;

TEST(ResourceStrings, EveryEntryTheProgramUsesHoldsItsText)
{
    const struct
    {
        UINT id;
        const wchar_t* text;
    } entries[] = {
        {2, L"dd/MM/yy HH:mm:ss"},
        {7, L"Sunday"},
        {13, L"Saturday"},
        {14, L"January"},
        {25, L"December"},
        {27, L"Application was unable to open the event log,\nPlease notify your support "
             L"organization !"},
        {28, L"Quovisa"},
        {33, L"Saving to file to ...."},
        {34, L"Error!.."},
        {35, L"Copying..."},
        {37, L"Reading directory..."},
        {38, L"yyyy-MM-dd HH:mm:ss.fff"},
    };
    for (const auto& entry : entries)
    {
        EXPECT_EQ(entry.text, static_cast<const std::wstring&>(SCResUString(entry.id))) << entry.id;
    }
    EXPECT_EQ(L"yyyy-MM-dd HH:mm:ss.fff", static_cast<const std::wstring&>(SCResAString(38)));
}

TEST(ResourceStrings, MissingEntryLeavesEmptyTextAndOneWarning)
{
    EventRecorder recorder;
    SCResUString missing(32);
    EXPECT_TRUE(missing.empty());
    ASSERT_EQ(1u, recorder.events.size());
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, recorder.events[0].type);
    EXPECT_EQ(L"Cannot Load Unicode String Id: 32 !", recorder.events[0].strings[0]);
    EXPECT_EQ(L"ResString.cpp", recorder.events[0].strings[1]);

    SCResAString missingA(32);
    EXPECT_TRUE(missingA.empty());
    ASSERT_EQ(2u, recorder.events.size());
    EXPECT_EQ(L"Cannot Load ASCII String Id: 32 !", recorder.events[1].strings[0]);
}

TEST(ResourceStrings, MissingEntryWithoutEventSourceLeavesNothing)
{
    EventRecorder recorder(0, false);
    EXPECT_TRUE(SCResUString(32).empty());
    EXPECT_TRUE(recorder.events.empty());
}

TEST(ResourceStrings, LoadReportsSuccessAndEmptiesOnFailure)
{
    SCResUString text;
    EXPECT_TRUE(text.Load(35));
    EXPECT_EQ(L"Copying...", static_cast<const std::wstring&>(text));
    EXPECT_FALSE(text.Load(32));
    EXPECT_TRUE(text.empty());
}

TEST(ResourceModules, MissingModuleShowsOnePopupAndLeavesNoHandle)
{
    const HMODULE hSaved = SCResUString::s_hModule;
    {
        MessageBoxRecorder boxes;
        EXPECT_FALSE(SCResUString::LoadModule(L"NoSuchModule-QVS.exe"));
        EXPECT_EQ(nullptr, SCResUString::s_hModule);
        ASSERT_EQ(1u, boxes.boxes.size());
        EXPECT_EQ(L"Popup Message", boxes.boxes[0].caption);
        EXPECT_NE(std::wstring::npos,
                  boxes.boxes[0].text.find(L"\tMsg: Cannot find module NoSuchModule-QVS.exe !"));
        EXPECT_TRUE(SCResUString::FreeModule());
    }
    SCResUString::s_hModule = hSaved;
}

TEST(ResourceModules, TheTwoClassesHoldSeparateHandles)
{
    ASSERT_NE(nullptr, SCResAString::s_hModule);
    ASSERT_NE(nullptr, SCResUString::s_hModule);
    // Each class releases its own: loading once more and freeing once keeps both usable.
    const HMODULE hSaved = SCResAString::s_hModule;
    ASSERT_TRUE(SCResAString::LoadModule(L"QVSCliUpdate.exe"));
    EXPECT_TRUE(SCResAString::FreeModule());
    SCResAString::s_hModule = hSaved;
    EXPECT_EQ(L"Sunday", static_cast<const std::wstring&>(SCResUString(7)));
    EXPECT_EQ(L"dd/MM/yy HH:mm:ss", static_cast<const std::wstring&>(SCResAString(2)));
}
