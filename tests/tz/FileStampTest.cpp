// Time stamps of list entries in a time zone with daylight saving (Europe/Berlin):
// the offset in force when the entry is made applies, whenever the file was written.
#include "lib/File.h"

#include "resource.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using qvstest::TempDir;

namespace
{
// Whether summer time is in force now, checked against Berlin's two offsets.
bool SummerTimeNow()
{
    TIME_ZONE_INFORMATION tzi{};
    const DWORD dwZone = GetTimeZoneInformation(&tzi);
    EXPECT_EQ(-60, tzi.Bias) << "TZ=Europe/Berlin is not in force";
    EXPECT_EQ(-60, tzi.DaylightBias);
    EXPECT_NE(TIME_ZONE_ID_UNKNOWN, dwZone);
    return dwZone == TIME_ZONE_ID_DAYLIGHT;
}

struct Listed
{
    std::wstring modified;
    SCDateTime time{0};
};

Listed ListFileWrittenAt(const TempDir& dir, const FILETIME& ftUtc)
{
    const std::wstring path = dir / L"f.dll";
    qvstest::WriteBytes(path, "x");
    qvstest::SetLastWriteTime(path, ftUtc);
    SCFile file(path);
    FileListEntry entry;
    file.FillEntry(FileListKind::Client, &entry);
    Listed listed;
    listed.modified = entry.modified;
    file.GetModifiedTime(listed.time);
    return listed;
}
} // namespace

TEST(BerlinStamps, AWinterFileIsListedWithTheOffsetInForceNow)
{
    TempDir dir;
    // 10:00 CET, UTC+1.
    const Listed listed = ListFileWrittenAt(dir, qvstest::FileTimeFromUtc(2026, 1, 15, 9, 0, 0));
    const bool bSummer = SummerTimeNow();
    EXPECT_EQ(bSummer ? L"15/01/26 11:00:00" : L"15/01/26 10:00:00", listed.modified);
    EXPECT_EQ(bSummer ? 11 : 10, listed.time.GetHour());
    EXPECT_EQ(0, listed.time.GetMinute());
    EXPECT_EQ(15, listed.time.GetDay());
}

TEST(BerlinStamps, ASummerFileIsListedWithTheOffsetInForceNow)
{
    TempDir dir;
    // 10:00 CEST, UTC+2.
    const Listed listed = ListFileWrittenAt(dir, qvstest::FileTimeFromUtc(2026, 7, 15, 8, 0, 0));
    const bool bSummer = SummerTimeNow();
    EXPECT_EQ(bSummer ? L"15/07/26 10:00:00" : L"15/07/26 09:00:00", listed.modified);
    EXPECT_EQ(bSummer ? 10 : 9, listed.time.GetHour());
}
