// Stamps in a time zone with daylight saving (TZ=Europe/Berlin: UTC+1 in winter,
// UTC+2 from the last Sunday of March 02:00 to the last Sunday of October 03:00):
// a file is listed with the offset in force when the list is made, whenever it
// was written, and stamps are read back as local times around the changes.
#include "lib/File.h"
#include "lib/SignedStamp.h"

#include "resource.h"
#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace qvstest;

namespace
{
class Berlin : public testing::Test
{
protected:
    // Wine takes its zone from TZ; the runtime library reads TZ too, in a notation in
    // which "Europe/Berlin" names no zone. Without TZ it follows the system's zone,
    // as it does on Windows.
    static void SetUpTestSuite()
    {
        _putenv("TZ=");
        _tzset();
    }
    void SetUp() override
    {
        TIME_ZONE_INFORMATION tzi{};
        m_bSummer = GetTimeZoneInformation(&tzi) == TIME_ZONE_ID_DAYLIGHT;
        ASSERT_EQ(-60, tzi.Bias) << "run with TZ=Europe/Berlin";
        ASSERT_EQ(-60, tzi.DaylightBias);
    }
    bool m_bSummer = false;
};

long long UnixSeconds(const FILETIME& ft)
{
    const ULARGE_INTEGER ticks{{ft.dwLowDateTime, ft.dwHighDateTime}};
    return static_cast<long long>(ticks.QuadPart / 10000000ULL) - 11644473600LL;
}
} // namespace

TEST_F(Berlin, FilesAreListedWithTheOffsetInForceNow)
{
    TempDir dir;
    const struct
    {
        FILETIME utc;
        const wchar_t* inWinter;
        const wchar_t* inSummer;
    } rows[] = {
        {T(2026, 1, 15, 9), L"15/01/26 10:00:00", L"15/01/26 11:00:00"},
        {T(2026, 7, 15, 8), L"15/07/26 09:00:00", L"15/07/26 10:00:00"},
        {T(2026, 12, 31, 23, 30), L"01/01/27 00:30:00", L"01/01/27 01:30:00"},
    };
    for (const auto& row : rows)
    {
        WriteBytes(dir / L"f.dll", "x", &row.utc);
        SCFile file(dir / L"f.dll");
        FileListEntry entry;
        file.FillEntry(FileListKind::Client, &entry);
        EXPECT_EQ(m_bSummer ? row.inSummer : row.inWinter, entry.modified);
    }
}

TEST_F(Berlin, StampsAreReadAsLocalTimesAroundTheChanges)
{
    const struct
    {
        const wchar_t* local;
        FILETIME utc;
    } rows[] = {
        {L"15/01/24 12:00:00", T(2024, 1, 15, 11)},
        {L"15/07/24 12:00:00", T(2024, 7, 15, 10)},
        {L"31/03/24 01:59:59", T(2024, 3, 31, 0, 59, 59)},
        {L"31/03/24 03:00:00", T(2024, 3, 31, 1, 0, 0)},
        {L"27/10/24 01:59:59", T(2024, 10, 26, 23, 59, 59)},
        {L"27/10/24 03:00:00", T(2024, 10, 27, 2, 0, 0)},
        {L"01/01/25 00:30:00", T(2024, 12, 31, 23, 30)},
    };
    for (const auto& row : rows)
    {
        SCDateTime dt(0);
        ASSERT_TRUE(dt.Parse(row.local, IDS_TIMESTAMP_PATTERN)) << ToUtf8(row.local);
        EXPECT_EQ(UnixSeconds(row.utc), dt.GetTime()) << ToUtf8(row.local);
    }
}

// A signed release's stamps (lib/SignedStamp.h) round the year: a file given the
// stamp of a signed list is listed by the walk as that stamp again, whatever the
// daylight saving in force now (run under TZ=Europe/Berlin and, so that one of the
// two is in daylight saving whenever the suite runs, TZ=Australia/Sydney), and a
// stamp a second off, or an hour off, differs.
TEST(SignedStamp, AFileGivenTheSignedStampIsListedAsThatStampAllYear)
{
    _putenv("TZ=");
    _tzset();
    const LONGLONG nShift = SCSignedStampShiftSeconds();
    for (const wchar_t* stamp :
         {L"15/01/26 08:30:00", L"15/07/26 08:30:00", L"29/03/26 02:30:00", L"25/10/26 02:30:00",
          L"29/02/80 00:00:00", L"31/12/79 12:00:00"})
    {
        FILETIME ft{};
        ASSERT_TRUE(SCSignedStampFileTime(stamp, ft)) << ToUtf8(stamp);
        std::wstring walked;
        ASSERT_TRUE(ListStampOfFileTime(ft, walked));
        EXPECT_FALSE(SCSignedStampsDiffer(stamp, walked, nShift))
            << ToUtf8(stamp) << " walked as " << ToUtf8(walked);
        for (const LONGLONG nOff : {1LL, -1LL, 3600LL, -3600LL})
        {
            const LONGLONG nUnits = nOff * 10000000LL;
            ULARGE_INTEGER moved{{ft.dwLowDateTime, ft.dwHighDateTime}};
            moved.QuadPart += static_cast<ULONGLONG>(nUnits);
            const FILETIME other{moved.LowPart, moved.HighPart};
            ASSERT_TRUE(ListStampOfFileTime(other, walked));
            EXPECT_TRUE(SCSignedStampsDiffer(stamp, walked, nShift)) << ToUtf8(stamp) << " " << nOff;
        }
    }
    for (const wchar_t* notAStamp : {L"", L"31/02/26 00:00:00", L"15/13/26 08:30:00", L"15/01/26 08:30"})
    {
        FILETIME ft{};
        EXPECT_FALSE(SCSignedStampFileTime(notAStamp, ft)) << ToUtf8(notAStamp);
        EXPECT_TRUE(SCSignedStampsDiffer(notAStamp, notAStamp, nShift)) << ToUtf8(notAStamp);
        EXPECT_TRUE(SCIsStampAhead(notAStamp)) << ToUtf8(notAStamp);
    }
    EXPECT_TRUE(SCIsStampAhead(L"31/12/79 23:59:59"));
    EXPECT_FALSE(SCIsStampAhead(L"01/01/80 00:00:00"));
}
