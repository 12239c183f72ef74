// The file class: opening tree files for shared reading, and the entry and time
// stamp made from an open file.
#include "lib/File.h"

#include "resource.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using qvstest::ComputerName;
using qvstest::Raises;
using qvstest::TempDir;

namespace
{

// The bias (minutes, UTC = local + bias) in force now, as the system reports it.
LONG CurrentBias()
{
    TIME_ZONE_INFORMATION tzi{};
    const DWORD dwZone = GetTimeZoneInformation(&tzi);
    LONG nBias = tzi.Bias;
    if (dwZone == TIME_ZONE_ID_DAYLIGHT)
    {
        nBias += tzi.DaylightBias;
    }
    else if (dwZone == TIME_ZONE_ID_STANDARD)
    {
        nBias += tzi.StandardBias;
    }
    return nBias;
}

SYSTEMTIME Local(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    st.wMilliseconds = 999;
    return st;
}
} // namespace

TEST(ListStamp, IsDayMonthTwoDigitYearAndTheTimeOfDay)
{
    EXPECT_EQ(L"04/12/26 21:59:45", FormatListStamp(Local(2026, 12, 4, 21, 59, 45)));
    EXPECT_EQ(L"01/02/00 03:04:05", FormatListStamp(Local(2000, 2, 1, 3, 4, 5)));
    EXPECT_EQ(L"31/12/99 00:00:00", FormatListStamp(Local(1999, 12, 31, 0, 0, 0)));
    EXPECT_EQ(L"29/02/24 23:59:59", FormatListStamp(Local(2124, 2, 29, 23, 59, 59)));
}

TEST(ListStamp, TheBiasInForceNowAppliesWheneverTheFileWasWritten)
{
    // 10:00 in winter (UTC+1), listed while summer time (UTC+2) is in force: 11:00.
    const FILETIME winter = qvstest::FileTimeFromUtc(2026, 1, 15, 9, 0, 0);
    EXPECT_EQ(L"15/01/26 11:00:00", FormatListStamp(winter, -120));
    EXPECT_EQ(L"15/01/26 10:00:00", FormatListStamp(winter, -60));
    // 10:00 in summer listed in winter: 09:00.
    const FILETIME summer = qvstest::FileTimeFromUtc(2026, 7, 15, 8, 0, 0);
    EXPECT_EQ(L"15/07/26 09:00:00", FormatListStamp(summer, -60));
    // Across midnight and the year, both ways.
    EXPECT_EQ(L"01/01/27 00:30:00",
              FormatListStamp(qvstest::FileTimeFromUtc(2026, 12, 31, 23, 30, 0), -60));
    EXPECT_EQ(L"31/12/25 22:00:00",
              FormatListStamp(qvstest::FileTimeFromUtc(2026, 1, 1, 3, 0, 0), 300));
}

TEST(ListFolder, ClientFormIsThePathUpToItsLastBackslash)
{
    EXPECT_EQ(L"C:\\Client\\bin\\",
              ListFolderFromPath(FileListKind::Client, L"C:\\Client\\bin\\app.dll", L"PC"));
    EXPECT_EQ(L"C:\\", ListFolderFromPath(FileListKind::Client, L"C:\\app.dll", L""));
}

TEST(ListFolder, ServerFormPutsTheComputerInPlaceOfTheDrive)
{
    EXPECT_EQ(L"\\\\SRV01\\Release\\bin\\",
              ListFolderFromPath(FileListKind::Server, L"D:\\Release\\bin\\app.dll", L"SRV01"));
    EXPECT_EQ(L"\\\\SRV01\\", ListFolderFromPath(FileListKind::Server, L"D:\\app.dll", L"SRV01"));
    // Without a computer name the folder starts at the backslash after the colon.
    EXPECT_EQ(L"\\Release\\bin\\",
              ListFolderFromPath(FileListKind::Server, L"D:\\Release\\bin\\app.dll", L""));
}

TEST(ListFolder, OtherKindsGiveNoFolder)
{
    EXPECT_EQ(L"", ListFolderFromPath(static_cast<FileListKind>(2), L"D:\\a\\b.dll", L"SRV01"));
}

TEST(TreeFile, OpensForSharedReading)
{
    TempDir dir;
    const std::wstring path = dir / L"a.dll";
    qvstest::WriteBytes(path, "abc");
    SCFile file(path);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(nullptr, file.m_pArchive);
    // Others may read and write it while it is open, but it is not written through this.
    CFile other;
    EXPECT_TRUE(other.Open(path, CFile::modeReadWrite | CFile::shareDenyNone));
    char c = 0;
    EXPECT_EQ(1u, file.Read(&c, 1));
    EXPECT_TRUE(Raises<CFileException>([&] { file.Write("x", 1); }));
}

TEST(TreeFile, AFileThatCannotBeOpenedRaisesCFileException)
{
    TempDir dir;
    try
    {
        SCFile file(dir / L"missing.dll");
        FAIL() << "no exception";
    }
    catch (CFileException* e)
    {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, static_cast<DWORD>(e->m_lOsError));
        EXPECT_EQ(dir / L"missing.dll", e->m_strFileName);
        e->Delete();
    }
}

TEST(TreeFile, FillEntryInClientForm)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"bin");
    const std::wstring path = dir / L"bin\\\x03B1\x03B2.dll";
    qvstest::WriteBytes(path, "x");
    const FILETIME ft = qvstest::FileTimeFromUtc(2025, 3, 4, 5, 6, 7);
    qvstest::SetLastWriteTime(path, ft);

    SCFile file(path);
    FileListEntry entry;
    entry.target = L"untouched";
    file.FillEntry(FileListKind::Client, &entry);
    EXPECT_EQ(dir / L"bin\\", entry.folder);
    EXPECT_EQ(L"\x03B1\x03B2.dll", entry.name);
    EXPECT_EQ(FormatListStamp(ft, CurrentBias()), entry.modified);
    EXPECT_EQ(L"untouched", entry.target);
}

TEST(TreeFile, FillEntryInServerForm)
{
    TempDir dir;
    const std::wstring path = dir / L"app.dll";
    qvstest::WriteBytes(path, "x");
    const std::wstring computer = ComputerName();
    ASSERT_FALSE(computer.empty());
    SCFile file(dir / L"." + L"\\app.dll");
    FileListEntry entry;
    file.FillEntry(FileListKind::Server, &entry);
    const std::wstring afterColon = dir.path().substr(dir.path().find(L':') + 1) + L"\\";
    EXPECT_EQ(L"\\\\" + computer + afterColon, entry.folder);
    EXPECT_EQ(L"app.dll", entry.name);
    EXPECT_EQ(17u, entry.modified.size());
}

TEST(TreeFile, FillEntryWithoutAnEntryDoesNothing)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"a.dll", "x");
    SCFile file(dir / L"a.dll");
    qvstest::EventRecorder recorder;
    EXPECT_NO_THROW(file.FillEntry(FileListKind::Client, nullptr));
    EXPECT_TRUE(recorder.events.empty());
}

TEST(TreeFile, FillEntryOfAClosedFileRaisesTheFrameworksException)
{
    SCFile file;
    FileListEntry entry;
    EXPECT_TRUE(Raises<CFileException>([&] { file.FillEntry(FileListKind::Client, &entry); }));
    EXPECT_TRUE(entry.folder.empty());
}

TEST(TreeFile, ModifiedTimeHasWholeSecondsAsTheListsRecordThem)
{
    TempDir dir;
    const std::wstring path = dir / L"a.dll";
    qvstest::WriteBytes(path, "x");
    FILETIME ft = qvstest::FileTimeFromUtc(2025, 3, 4, 5, 6, 7);
    ULARGE_INTEGER ticks{{ft.dwLowDateTime, ft.dwHighDateTime}};
    ticks.QuadPart += 9'990'000; // 0.999 s
    ft.dwLowDateTime = ticks.LowPart;
    ft.dwHighDateTime = ticks.HighPart;
    qvstest::SetLastWriteTime(path, ft);

    SCFile file(path);
    SCDateTime time(0);
    file.GetModifiedTime(time);
    SCDateTime expected(0);
    ASSERT_TRUE(expected.Parse(FormatListStamp(ft, CurrentBias()).c_str(), IDS_TIMESTAMP_PATTERN));
    EXPECT_EQ(0, time.GetStatus());
    EXPECT_EQ(7, time.GetSecond());
    EXPECT_EQ(expected.GetTime(), time.GetTime());
    EXPECT_EQ(expected.GetHour(), time.GetHour());
    EXPECT_EQ(2025, time.GetYear());
}
