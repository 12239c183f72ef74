// The stamps of the lists are read back with the program's own parser
// ("dd/MM/yy HH:mm:ss") and compared to the second: the windows of its fields,
// decided by hand row by row.
#include "lib/Time.h"

#include "resource.h"
#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <array>

using qvstest::ToUtf8;

TEST(ListStamps, ParseTheirFieldsWithinTheirWindows)
{
    constexpr int kToday = -1; // a field the text does not reach: today's
    const struct
    {
        const wchar_t* text;
        bool bParsed;
        std::array<int, 6> fields; // year, month, day, hour, minute, second
    } rows[] = {
        {L"05/03/24 07:08:09", true, {2024, 3, 5, 7, 8, 9}},
        // Two-digit years from 1980 to 2079.
        {L"01/01/80 00:00:00", true, {1980, 1, 1, 0, 0, 0}},
        {L"31/12/79 23:59:59", true, {2079, 12, 31, 23, 59, 59}},
        {L"01/06/00 12:00:00", true, {2000, 6, 1, 12, 0, 0}},
        // 29 February in leap years only; the days of each month.
        {L"29/02/00 10:00:00", true, {2000, 2, 29, 10, 0, 0}},
        {L"29/02/24 10:00:00", true, {2024, 2, 29, 10, 0, 0}},
        {L"29/02/01 10:00:00", false, {}},
        {L"29/02/23 10:00:00", false, {}},
        {L"30/04/24 00:00:00", true, {2024, 4, 30, 0, 0, 0}},
        {L"31/04/24 00:00:00", false, {}},
        {L"31/12/24 00:00:00", true, {2024, 12, 31, 0, 0, 0}},
        {L"32/01/24 00:00:00", false, {}},
        {L"00/03/24 00:00:00", false, {}},
        {L"05/13/24 00:00:00", false, {}},
        {L"05/00/24 00:00:00", false, {}},
        {L"05/03/24 24:00:00", false, {}},
        {L"05/03/24 23:60:00", false, {}},
        {L"05/03/24 23:59:60", false, {}},
        // Text after the pattern, digits missing or of other scripts, other forms.
        {L"05/03/24 07:08:09x", false, {}},
        {L"5/03/24 07:08:09", false, {}},
        {L"05/03/2024 07:08:09", false, {}},
        {L"05/03/24 07:08:\x0665\x0669", false, {}},
        {L"2026-01-10T12:00:00Z", false, {}},
        // A text that ends early: what it does not reach is today at midnight.
        {L"05/03", true, {kToday, 3, 5, 0, 0, 0}},
        {L"05/03/24 07", true, {2024, 3, 5, 7, 0, 0}},
    };
    for (const auto& row : rows)
    {
        SYSTEMTIME today{};
        GetLocalTime(&today);
        SCDateTime dt(2020, 1, 1, 1, 1, 1);
        EXPECT_EQ(row.bParsed, dt.Parse(row.text, IDS_TIMESTAMP_PATTERN) != FALSE) << ToUtf8(row.text);
        if (!row.bParsed)
        {
            EXPECT_EQ(1, dt.GetStatus()) << ToUtf8(row.text);
            EXPECT_EQ(-1, dt.GetTime()) << ToUtf8(row.text);
            continue;
        }
        std::array<int, 6> expected = row.fields;
        expected[0] = expected[0] == kToday ? today.wYear : expected[0];
        EXPECT_EQ(expected, (std::array<int, 6>{dt.GetYear(), dt.GetMonth(), dt.GetDay(),
                                                 dt.GetHour(), dt.GetMinute(), dt.GetSecond()}))
            << ToUtf8(row.text);
    }
}

TEST(ListStamps, CompareToTheSecond)
{
    const struct
    {
        const wchar_t* later;
        const wchar_t* earlier;
        long long seconds;
    } rows[] = {
        {L"10/01/26 12:00:01", L"10/01/26 12:00:00", 1},
        {L"01/01/00 00:00:00", L"31/12/99 23:59:59", 1},
        {L"01/03/24 00:00:00", L"29/02/24 23:59:59", 1},
        {L"01/01/80 00:00:00", L"31/12/79 23:59:59", -3155759999LL},
        {L"10/01/26 12:00:00", L"10/01/26 12:00:00", 0},
    };
    for (const auto& row : rows)
    {
        SCDateTime later(0);
        SCDateTime earlier(0);
        ASSERT_TRUE(later.Parse(row.later, IDS_TIMESTAMP_PATTERN));
        ASSERT_TRUE(earlier.Parse(row.earlier, IDS_TIMESTAMP_PATTERN));
        EXPECT_EQ(row.seconds, later.GetTime() - earlier.GetTime()) << ToUtf8(row.later);
        EXPECT_EQ(row.seconds > 0, later > earlier) << ToUtf8(row.later);
        EXPECT_EQ(row.seconds == 0, later == earlier) << ToUtf8(row.later);
    }
    // A stamp that does not parse is never later than one that does.
    SCDateTime garbage(0);
    SCDateTime stamp(0);
    garbage.Parse(L"garbage", IDS_TIMESTAMP_PATTERN);
    stamp.Parse(L"10/01/26 12:00:00", IDS_TIMESTAMP_PATTERN);
    EXPECT_TRUE(stamp > garbage);
    EXPECT_FALSE(garbage > stamp);
}
