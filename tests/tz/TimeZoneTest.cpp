// Local time against UTC in a zone with daylight saving (Europe/Berlin: UTC+1 in
// winter, UTC+2 from the last Sunday of March 02:00 to the last Sunday of October 03:00).
#include "lib/Time.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>

namespace
{
using Fields = std::array<int, 9>; // year, month, day of week, day, h, m, s, ms, status

Fields FieldsOf(const SCDateTime& dt)
{
    const SYSTEMTIME& st = dt.m_st;
    return {st.wYear,   st.wMonth,  st.wDayOfWeek,    st.wDay,       st.wHour,
            st.wMinute, st.wSecond, st.wMilliseconds, dt.GetStatus()};
}

struct Clock
{
    WORD y, mo, d, h, mi, s;
};

int64_t UnixSeconds(const Clock& utc)
{
    const FILETIME ft = qvstest::FileTimeFromUtc(utc.y, utc.mo, utc.d, utc.h, utc.mi, utc.s);
    const auto ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - 116444736000000000LL) / 10000000LL;
}

std::wstring Text38(const Clock& c)
{
    wchar_t buffer[32];
    swprintf(buffer, 32, L"%04u-%02u-%02u %02u:%02u:%02u.000", c.y, c.mo, c.d, c.h, c.mi, c.s);
    return buffer;
}

SCDateTime Local(const Clock& c)
{
    return SCDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s);
}

struct Case
{
    Clock local;
    Clock utc;
};

const Case kCases[] = {
    {{2024, 1, 15, 12, 0, 0}, {2024, 1, 15, 11, 0, 0}},
    {{2024, 7, 15, 12, 0, 0}, {2024, 7, 15, 10, 0, 0}},
    {{2024, 3, 31, 1, 59, 59}, {2024, 3, 31, 0, 59, 59}},
    {{2024, 3, 31, 3, 0, 0}, {2024, 3, 31, 1, 0, 0}},
    {{2024, 10, 27, 1, 59, 59}, {2024, 10, 26, 23, 59, 59}},
    {{2024, 10, 27, 3, 0, 0}, {2024, 10, 27, 2, 0, 0}},
    {{2024, 7, 1, 1, 30, 0}, {2024, 6, 30, 23, 30, 0}},
    {{2025, 1, 1, 0, 30, 0}, {2024, 12, 31, 23, 30, 0}},
    {{1970, 1, 1, 1, 0, 0}, {1970, 1, 1, 0, 0, 0}},
};

class BerlinTime : public testing::Test
{
protected:
    // The test runner gives Wine its zone through TZ, and the runtime library reads TZ
    // too, in its own notation, in which "Europe/Berlin" names no zone. On Windows TZ
    // is not set and the library follows the system's zone, as it does here without it.
    static void SetUpTestSuite()
    {
        const char* pszTz = std::getenv("TZ");
        s_strSavedTz = std::string("TZ=") + (pszTz != nullptr ? pszTz : "");
        _putenv("TZ=");
        _tzset();
    }
    static void TearDownTestSuite()
    {
        _putenv(s_strSavedTz.c_str());
        _tzset();
    }
    void SetUp() override
    {
        TIME_ZONE_INFORMATION tzi;
        ASSERT_NE(TIME_ZONE_ID_INVALID, GetTimeZoneInformation(&tzi));
        ASSERT_EQ(-60, tzi.Bias) << "the tests expect the system zone Europe/Berlin";
    }
    static inline std::string s_strSavedTz;
};
} // namespace

TEST_F(BerlinTime, GetTimeReadsFieldsAsLocalTime)
{
    for (const Case& c : kCases)
    {
        EXPECT_EQ(UnixSeconds(c.utc), Local(c.local).GetTime()) << Text38(c.local);
    }
    // Midnight of 1 January 1970 here is still 1969 in UTC.
    EXPECT_EQ(-1, SCDateTime(1970, 1, 1, 0, 59, 59).GetTime());
}

TEST_F(BerlinTime, FormatGmt)
{
    for (const Case& c : kCases)
    {
        SCDateTime local = Local(c.local);
        local.m_st.wMilliseconds = 750; // not carried into UTC
        EXPECT_EQ(Text38(c.utc), local.FormatGmt(38)) << Text38(c.local);
    }
    EXPECT_EQ(L"30/06/24 23:30:00", SCDateTime(2024, 7, 1, 1, 30, 0).FormatGmt(2));
    // Without a second count there is no UTC form.
    EXPECT_EQ(L"", g_dtInvalid.FormatGmt(38));
    EXPECT_EQ(L"", SCDateTime(1970, 1, 1, 0, 30, 0).FormatGmt(38));
}

TEST_F(BerlinTime, ParseGmt)
{
    for (const Case& c : kCases)
    {
        SCDateTime local(0);
        EXPECT_TRUE(local.ParseGmt(Text38(c.utc).c_str(), 38)) << Text38(c.utc);
        EXPECT_EQ(FieldsOf(Local(c.local)), FieldsOf(local)) << Text38(c.utc);
        // And back.
        EXPECT_EQ(Text38(c.utc), local.FormatGmt(38));
    }
    // Milliseconds are kept; both UTC times that meet at 02:30 on the autumn day.
    SCDateTime local(0);
    ASSERT_TRUE(local.ParseGmt(L"2024-07-15 10:00:00.250", 38));
    EXPECT_EQ((Fields{2024, 7, 1, 15, 12, 0, 0, 250, 0}), FieldsOf(local));
    ASSERT_TRUE(local.ParseGmt(L"2024-10-27 00:30:00.000", 38));
    EXPECT_EQ((Fields{2024, 10, 0, 27, 2, 30, 0, 0, 0}), FieldsOf(local));
    ASSERT_TRUE(local.ParseGmt(L"2024-10-27 01:30:00.000", 38));
    EXPECT_EQ((Fields{2024, 10, 0, 27, 2, 30, 0, 0, 0}), FieldsOf(local));
    ASSERT_TRUE(local.ParseGmt(L"30/06/24 23:30:00", 2));
    EXPECT_EQ((Fields{2024, 7, 1, 1, 1, 30, 0, 0, 0}), FieldsOf(local));

    // Text that does not parse, and parsed fields that form no date (day 0 of an
    // unfinished day; 29 February of 2002, whose year had one digit typed).
    for (const wchar_t* text : {L"31/04/24 10:00:00", L"0", L"29/02/2"})
    {
        SCDateTime dt(2024, 1, 1, 0, 0, 0);
        EXPECT_FALSE(dt.ParseGmt(text, 2)) << text;
        EXPECT_EQ(FieldsOf(g_dtInvalid), FieldsOf(dt)) << text;
    }
}
