// Text forms of the date-time value: patterns, names, the parser and its checks.
#include "lib/Time.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <string>

using namespace std::string_literals;

namespace
{
using Fields = std::array<int, 9>; // year, month, day of week, day, h, m, s, ms, status

Fields FieldsOf(const SCDateTime& dt)
{
    const SYSTEMTIME& st = dt.m_st;
    return {st.wYear,   st.wMonth,  st.wDayOfWeek,    st.wDay,       st.wHour,
            st.wMinute, st.wSecond, st.wMilliseconds, dt.GetStatus()};
}

// Tuesday 5 March 2024 07:08:09.012.
const SCDateTime kSample(SYSTEMTIME{2024, 3, 2, 5, 7, 8, 9, 12});

SCDateTime WithTime(WORD wHour, WORD wMinute)
{
    return SCDateTime(2024, 3, 5, wHour, wMinute, 0);
}

// Marks a date field that the text does not reach: today's.
constexpr int kToday = -1;
} // namespace

TEST(DateTimeFormat, Tokens)
{
    struct Case
    {
        std::wstring pattern;
        std::wstring expected;
    };
    // clang-format off
    const Case cases[] = {
        {L"yyyy-MM-dd HH:mm:ss.fff", L"2024-03-05 07:08:09.012"},
        {L"dd/MM/yy HH:mm:ss", L"05/03/24 07:08:09"},
        {L"W, d MMM yyyy", L"Tuesday, 5 March 2024"},
        {L"", L""}, {L"abc Q 1-/ ", L"abc Q 1-/ "},
        // Case matters for M and m only; a longer run splits into tokens from the left.
        {L"d", L"5"}, {L"dd", L"05"}, {L"D", L"5"}, {L"Dd", L"05"}, {L"dD", L"05"},
        {L"ddd", L"055"}, {L"dddd", L"0505"},
        {L"M", L"3"}, {L"MM", L"03"}, {L"MMM", L"March"}, {L"MMMM", L"March3"},
        {L"MMMMM", L"March03"}, {L"Mm", L"38"}, {L"mM", L"83"}, {L"m", L"8"}, {L"mm", L"08"},
        {L"H", L"7"}, {L"HH", L"07"}, {L"Hh", L"07"}, {L"h", L"7"}, {L"hh", L"07"}, {L"hH", L"07"},
        {L"s", L"9"}, {L"ss", L"09"}, {L"S", L"9"}, {L"sS", L"09"},
        {L"f", L"12"}, {L"ff", L"12"}, {L"fff", L"012"}, {L"FfF", L"012"}, {L"ffff", L"01212"},
        // A year always takes the next character; the long form looks only at the third.
        {L"yy", L"24"}, {L"YY", L"24"}, {L"yyyy", L"2024"}, {L"YyYy", L"2024"},
        {L"yxyz", L"2024"}, {L"y-M", L"243"}, {L"yyyyyy", L"202424"},
        {L"TT", L"AM"}, {L"TTT", L"AMAM"}, {L"T:d", L"AM5"}, {L"tx", L"am"},
        {L"W", L"Tuesday"}, {L"w", L"Tuesday"}, {L"WW", L"TuesdayTuesday"},
        // Patterns that end inside a token, and patterns with characters after their
        // first zero, which are never read.
        {L"y", L"24"}, {L"Y", L"24"}, {L"yyy", L"2024"}, {L"dyyy", L"52024"}, {L"T", L"AM"},
        {L"t", L"am"}, {L"y\0yy"s, L"24"}, {L"yyy\0MM"s, L"2024"}, {L"T\0T"s, L"AM"},
        {L"dd\0dd"s, L"05"}, {L"M\0MM"s, L"3"}, {L"\0d"s, L""},
    };
    // clang-format on
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.expected, kSample.Format(c.pattern))
            << "pattern " << testing::PrintToString(c.pattern);
    }
}

TEST(DateTimeFormat, HoursAndMarkers)
{
    struct Case
    {
        WORD wHour, wMinute;
        const wchar_t* pattern;
        const wchar_t* expected;
    };
    // clang-format off
    const Case cases[] = {
        {0, 5, L"h:mm TT", L"0:05 AM"}, {12, 0, L"h:mm TT", L"12:00 PM"},
        {13, 7, L"h:mm TT", L"1:07 PM"}, {0, 5, L"h:mm tt", L"0:05 am"},
        {12, 0, L"h:mm tt", L"12:00 pm"}, {13, 7, L"h:mm tt", L"1:07 pm"},
        {0, 5, L"t h:mm", L"am0:05"}, {11, 59, L"hh T", L"11 AM"}, {23, 0, L"hh t", L"11 pm"},
        {0, 0, L"hh HH", L"00 00"}, {12, 0, L"h H", L"12 12"}, {13, 0, L"hh HH", L"01 13"},
    };
    // clang-format on
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.expected, WithTime(c.wHour, c.wMinute).Format(c.pattern)) << c.pattern;
    }
}

TEST(DateTimeFormat, NumberWidthsAndNames)
{
    const std::wstring pattern = L"yyyy yy fff ff f|W|MMM|";
    EXPECT_EQ(L"0999 99 005 05 5|Monday|January|",
              SCDateTime(SYSTEMTIME{999, 1, 1, 1, 0, 0, 0, 5}).Format(pattern));
    EXPECT_EQ(L"12345 45 999 999 999|Saturday|December|",
              SCDateTime(SYSTEMTIME{12345, 12, 6, 1, 0, 0, 0, 999}).Format(pattern));
    EXPECT_EQ(L"2005 05 000 00 0|||",
              SCDateTime(SYSTEMTIME{2005, 13, 7, 1, 0, 0, 0, 0}).Format(pattern));
    EXPECT_EQ(L"0000 00 000 00 0|Sunday||", SCDateTime(0).Format(pattern));

    const wchar_t* const days[] = {L"Sunday",   L"Monday", L"Tuesday", L"Wednesday",
                                   L"Thursday", L"Friday", L"Saturday"};
    const wchar_t* const months[] = {L"January",   L"February", L"March",    L"April",
                                     L"May",       L"June",     L"July",     L"August",
                                     L"September", L"October",  L"November", L"December"};
    SCDateTime dt(0);
    for (WORD i = 0; i < 7; ++i)
    {
        dt.m_st.wDayOfWeek = i;
        EXPECT_EQ(days[i], dt.GetDayOfWeekName());
    }
    for (WORD i = 1; i <= 12; ++i)
    {
        dt.m_st.wMonth = i;
        EXPECT_EQ(months[i - 1], dt.GetMonthName());
    }
    dt.m_st.wDayOfWeek = 7;
    dt.m_st.wMonth = 13;
    EXPECT_EQ(L"", dt.GetDayOfWeekName());
    EXPECT_EQ(L"", dt.GetMonthName());
}

TEST(DateTimeFormat, InvalidValuesAndPatternIds)
{
    SCDateTime invalid(kSample);
    invalid.m_nStatus = 1;
    for (const wchar_t* pattern : {L"yyyy-MM-dd", L"W", L"x", L"TT"})
    {
        EXPECT_EQ(L"", invalid.Format(pattern)) << pattern;
        EXPECT_EQ(L"", g_dtInvalid.Format(pattern)) << pattern;
    }
    EXPECT_EQ(L"", invalid.Format(38));
    EXPECT_EQ(L"", invalid.ToString());
    EXPECT_EQ(L"2024-03-05 07:08:09.012", kSample.Format(38));
    EXPECT_EQ(L"05/03/24 07:08:09", kSample.Format(2));
    EXPECT_EQ(L"05/03/24 07:08:09", kSample.ToString());
    // No string-table entry: an empty pattern.
    EXPECT_EQ(L"", kSample.Format(999));
}

TEST(DateTimeParse, Table)
{
    struct Case
    {
        const wchar_t* text;
        std::wstring pattern;
        bool bOk;
        std::array<int, 7> expected; // year, month, day, h, m, s, ms
    };
    const std::wstring e2 = L"dd/MM/yy HH:mm:ss";
    const std::wstring e38 = L"yyyy-MM-dd HH:mm:ss.fff";
    // clang-format off
    const Case cases[] = {
        // Whole texts, and texts that end early: the rest is today at midnight.
        {L"05/03/24 07:08:09", e2, true, {2024, 3, 5, 7, 8, 9, 0}},
        {L"2024-03-05 07:08:09.012", e38, true, {2024, 3, 5, 7, 8, 9, 12}},
        {L"05/03", e2, true, {kToday, 3, 5, 0, 0, 0, 0}},
        {L"05/03/24 07", e2, true, {2024, 3, 5, 7, 0, 0, 0}},
        {L"", e2, true, {kToday, kToday, kToday, 0, 0, 0, 0}},
        {L"2", e38, true, {2002, kToday, kToday, 0, 0, 0, 0}},
        {L"05\0" L"12", L"dddd", true, {kToday, kToday, 5, 0, 0, 0, 0}},
        // The text goes on after the pattern.
        {L"05/03/24 07:08:09x", e2, false, {}}, {L"05/03/24 07:08:090", e2, false, {}},
        {L"0512", L"dd\0dd"s, false, {}},
        // d, M, m, h, H: one or two digits written once, one digit a letter written twice.
        {L"5/3/24", L"d/M/yy", true, {2024, 3, 5, 0, 0, 0, 0}},
        {L"15/12/24", L"d/M/yy", true, {2024, 12, 15, 0, 0, 0, 0}},
        {L"31", L"d", true, {kToday, kToday, 31, 0, 0, 0, 0}},
        {L"0", L"dd", true, {kToday, kToday, 0, 0, 0, 0, 0}},
        {L"0", L"MM", true, {kToday, 0, kToday, 0, 0, 0, 0}},
        {L"12", L"M", true, {kToday, 12, kToday, 0, 0, 0, 0}},
        {L"59", L"m", true, {kToday, kToday, kToday, 0, 59, 0, 0}},
        {L"7", L"mm", true, {kToday, kToday, kToday, 0, 7, 0, 0}},
        {L"12", L"h", true, {kToday, kToday, kToday, 12, 0, 0, 0}},
        {L"23", L"H", true, {kToday, kToday, kToday, 23, 0, 0, 0}},
        {L"13:00", L"H:mm", true, {kToday, kToday, kToday, 13, 0, 0, 0}},
        {L"5/3/2024", L"d/M/yy", false, {}}, {L"5/03/24", e2, false, {}}, {L"123", L"d", false, {}},
        {L"32", L"d", false, {}}, {L"0", L"d", false, {}}, {L"00", L"dd", false, {}},
        {L"01/0", L"dd/MM", false, {}}, {L"13", L"M", false, {}}, {L"0", L"M", false, {}},
        {L"60", L"m", false, {}}, {L"13", L"h", false, {}}, {L"24", L"HH", false, {}},
        {L"13:00", L"h:mm", false, {}},
        // y, s, f: exactly one digit a letter; two-digit years from 1980 to 2079.
        {L"85", L"yy", true, {1985, kToday, kToday, 0, 0, 0, 0}},
        {L"79", L"yy", true, {2079, kToday, kToday, 0, 0, 0, 0}},
        {L"80", L"yy", true, {1980, kToday, kToday, 0, 0, 0, 0}},
        {L"00", L"yy", true, {2000, kToday, kToday, 0, 0, 0, 0}},
        {L"0099", L"yyyy", true, {1999, kToday, kToday, 0, 0, 0, 0}},
        {L"1601", L"yyyy", true, {1601, kToday, kToday, 0, 0, 0, 0}},
        {L"5", L"ss", true, {kToday, kToday, kToday, 0, 0, 5, 0}},
        {L"012", L"fff", true, {kToday, kToday, kToday, 0, 0, 0, 12}},
        {L"241", L"yy", false, {}}, {L"59", L"s", false, {}}, {L"60", L"ss", false, {}},
        {L"12", L"f", false, {}}, {L"1000", L"ffff", false, {}},
        // Days per month, February by the leap-year rule when two year digits were read.
        {L"29/02/00", e2, true, {2000, 2, 29, 0, 0, 0, 0}},
        {L"28/02/1900", L"dd/MM/yyyy", true, {1900, 2, 28, 0, 0, 0, 0}},
        {L"29/02/2000", L"dd/MM/yyyy", true, {2000, 2, 29, 0, 0, 0, 0}},
        {L"29/02/2024", L"dd/MM/yyyy", true, {2024, 2, 29, 0, 0, 0, 0}},
        {L"29/02/1", L"dd/MM/y", true, {2001, 2, 29, 0, 0, 0, 0}},
        {L"30/04/24", e2, true, {2024, 4, 30, 0, 0, 0, 0}},
        {L"29/02/01", e2, false, {}}, {L"29/02/1900", L"dd/MM/yyyy", false, {}},
        {L"29/02/2023", L"dd/MM/yyyy", false, {}}, {L"30/02", L"dd/MM", false, {}},
        {L"31/04/24", e2, false, {}}, {L"00/03/24", e2, false, {}}, {L"05/13/24", e2, false, {}},
        {L"05/00/24", e2, false, {}},
        // The am/pm letters.
        {L"1:30 pm", L"h:mm tt", true, {kToday, kToday, kToday, 13, 30, 0, 0}},
        {L"12:30 pm", L"h:mm tt", true, {kToday, kToday, kToday, 12, 30, 0, 0}},
        {L"0:30 am", L"h:mm tt", true, {kToday, kToday, kToday, 0, 30, 0, 0}},
        {L"9:15 AM", L"h:mm TT", true, {kToday, kToday, kToday, 9, 15, 0, 0}},
        {L"11:59 Pm", L"h:mm tt", true, {kToday, kToday, kToday, 23, 59, 0, 0}},
        {L"1:30 p", L"h:mm tt", true, {kToday, kToday, kToday, 13, 30, 0, 0}},
        {L"13:00 pm", L"H:mm tt", true, {kToday, kToday, kToday, 13, 0, 0, 0}},
        {L"12:30 am", L"h:mm tt", false, {}}, {L"0:30 pm", L"h:mm tt", false, {}},
        {L"13:00 am", L"H:mm tt", false, {}}, {L"1:30 px", L"h:mm tt", false, {}},
        {L"1:30 pmm", L"h:mm ttt", false, {}}, {L"1:30 mp", L"h:mm tt", false, {}},
        {L"1:30 aa", L"h:mm tt", false, {}},
        // Literals match exactly; names are not read; only the Latin digits count.
        {L"W 5", L"W d", true, {kToday, kToday, 5, 0, 0, 0, 0}},
        {L"w 5", L"W d", false, {}}, {L"March", L"MMM", false, {}}, {L"\x0665", L"d", false, {}},
        {L"5", L"", false, {}},
    };
    // clang-format on
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "text " << testing::PrintToString(std::wstring(c.text))
                                        << " pattern " << testing::PrintToString(c.pattern));
        SCDateTime dt(kSample);
        SYSTEMTIME before, after;
        BOOL bResult = FALSE;
        do
        {
            GetLocalTime(&before);
            bResult = dt.Parse(c.text, c.pattern);
            GetLocalTime(&after);
        } while (before.wDay != after.wDay); // not across midnight
        ASSERT_EQ(c.bOk, bResult != FALSE);
        if (!c.bOk)
        {
            EXPECT_EQ(FieldsOf(g_dtInvalid), FieldsOf(dt));
            continue;
        }
        const int today[3] = {before.wYear, before.wMonth, before.wDay};
        std::array<int, 7> expected = c.expected;
        for (size_t i = 0; i < 3; ++i)
        {
            expected[i] = expected[i] == kToday ? today[i] : expected[i];
        }
        const SYSTEMTIME& st = dt.m_st;
        EXPECT_EQ(expected, (std::array<int, 7>{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                                                st.wSecond, st.wMilliseconds}));
        EXPECT_EQ(0, dt.GetStatus());
        // The day of week follows the date whenever the fields form one.
        SCDateTime normalized(dt);
        if (normalized.Normalize())
        {
            EXPECT_EQ(normalized.GetDayOfWeek(), dt.GetDayOfWeek());
        }
    }
}

TEST(DateTimeParse, FailuresAreQuietAndLeaveTheInvalidValue)
{
    qvstest::EventRecorder recorder;
    SCDateTime dt(kSample);
    EXPECT_FALSE(dt.Parse(L"31/04/24", 2));
    EXPECT_EQ(FieldsOf(g_dtInvalid), FieldsOf(dt));
    dt = kSample;
    EXPECT_FALSE(dt.Parse(nullptr, 2));
    EXPECT_EQ(FieldsOf(g_dtInvalid), FieldsOf(dt));
    EXPECT_TRUE(recorder.events.empty());
    // A pattern id without an entry: an empty pattern, which only the empty text meets.
    dt = kSample;
    EXPECT_FALSE(dt.Parse(L"05", 999));
    EXPECT_EQ(FieldsOf(g_dtInvalid), FieldsOf(dt));
    EXPECT_TRUE(dt.Parse(L"", 999));
    EXPECT_EQ(0, dt.GetStatus());
}

TEST(DateTimeParse, RoundTripsUnderTheSystemPatterns)
{
    for (UINT nId : {2u, 38u})
    {
        const std::wstring text = kSample.Format(nId);
        SCDateTime dt(0);
        ASSERT_TRUE(dt.Parse(text.c_str(), nId)) << text;
        EXPECT_EQ(text, dt.Format(nId));
        EXPECT_TRUE(dt == kSample);
    }

    // Random valid values that the two-digit year can hold and that the runtime can
    // convert, so that comparing them is not comparing -1 with -1.
    const char* pszSeed = std::getenv("QVS_TIME_SEED");
    const unsigned nSeed = pszSeed != nullptr
                               ? static_cast<unsigned>(std::strtoul(pszSeed, nullptr, 10))
                               : std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << nSeed << " (set QVS_TIME_SEED to repeat)");
    std::mt19937 random(nSeed);
    const auto draw = [&random](int nLow, int nHigh)
    { return static_cast<WORD>(std::uniform_int_distribution<int>(nLow, nHigh)(random)); };
    for (int i = 0; i < 500; ++i)
    {
        const WORD wYear = draw(1980, 2079);
        const WORD wMonth = draw(1, 12);
        SCDateTime value(wYear, wMonth, draw(1, 28), draw(0, 23), draw(0, 59), draw(0, 59));
        // The last days of the month, where the checks are tight.
        if (draw(0, 3) == 0)
        {
            const WORD wLast = static_cast<WORD>(
                wMonth == 2
                    ? (wYear % 4 == 0 ? 29 : 28)
                    : (wMonth == 4 || wMonth == 6 || wMonth == 9 || wMonth == 11 ? 30 : 31));
            value = SCDateTime(wYear, wMonth, wLast, value.GetHour(), value.GetMinute(),
                               value.GetSecond());
        }
        value.m_st.wMilliseconds = draw(0, 999);
        for (UINT nId : {2u, 38u})
        {
            const std::wstring text = value.Format(nId);
            SCDateTime parsed(0);
            ASSERT_TRUE(parsed.Parse(text.c_str(), nId)) << text;
            ASSERT_NE(-1, parsed.GetTime()) << text;
            EXPECT_TRUE(parsed == value) << text;
            if (nId == 38)
            {
                EXPECT_EQ(FieldsOf(value), FieldsOf(parsed)) << text;
            }
            else
            {
                Fields expected = FieldsOf(value);
                expected[7] = 0;
                EXPECT_EQ(expected, FieldsOf(parsed)) << text;
            }
        }
    }
}
