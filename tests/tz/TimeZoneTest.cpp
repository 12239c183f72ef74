// Stamps in a time zone with daylight saving (TZ=Europe/Berlin: UTC+1 in winter,
// UTC+2 from the last Sunday of March 02:00 to the last Sunday of October 03:00):
// a file is listed with the offset in force when the list is made, whenever it
// was written, and stamps are read back as local times around the changes.
#include "lib/File.h"

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
