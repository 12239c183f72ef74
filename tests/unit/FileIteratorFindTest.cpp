// The framework's directory search and the long form of paths.
#include "framework/AfxFileFind.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using qvstest::TempDir;

namespace
{
struct Found
{
    std::wstring name;
    std::wstring path;
    bool bDirectory;
    bool bDots;
};

std::vector<Found> Search(CFileFind& finder, const std::wstring& pattern)
{
    std::vector<Found> found;
    BOOL bMore = finder.FindFile(pattern.c_str());
    while (bMore)
    {
        bMore = finder.FindNextFile();
        found.push_back({finder.GetFileName(), finder.GetFilePath(), finder.IsDirectory() != FALSE,
                         finder.IsDots() != FALSE});
    }
    return found;
}
} // namespace

TEST(FileIteratorFind, EveryEntryOnceWithItsPathKindAndTheDots)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"a.txt", "a");
    qvstest::MakeDirs(dir / L"sub");
    CFileFind finder;
    const std::vector<Found> found = Search(finder, dir / L"*.*");

    std::set<std::wstring> names;
    for (const Found& f : found)
    {
        names.insert(f.name);
        if (f.name == L"a.txt")
        {
            EXPECT_FALSE(f.bDirectory);
            EXPECT_FALSE(f.bDots);
            EXPECT_EQ(dir / L"a.txt", f.path);
        }
        else if (f.name == L"sub")
        {
            EXPECT_TRUE(f.bDirectory);
            EXPECT_FALSE(f.bDots);
            EXPECT_EQ(dir / L"sub", f.path);
        }
        else
        {
            EXPECT_TRUE(f.bDots) << f.name;
            EXPECT_TRUE(f.bDirectory) << f.name;
        }
    }
    EXPECT_EQ(found.size(), names.size()) << "an entry came twice";
    EXPECT_EQ((std::set<std::wstring>{L".", L"..", L"a.txt", L"sub"}), names);
    EXPECT_EQ(dir.path(), finder.GetRoot());
}

TEST(FileIteratorFind, TheLastEntryStaysCurrentAndASearchCanStartAfresh)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"only.txt", "x");
    CFileFind finder;
    EXPECT_FALSE(finder.FindFile((dir / L"none.*").c_str()));
    EXPECT_FALSE(finder.FindFile((dir / L"missing\\*.*").c_str()));
    ASSERT_TRUE(finder.FindFile((dir / L"only.txt").c_str()));
    EXPECT_FALSE(finder.FindNextFile()); // the first entry is also the last
    EXPECT_EQ(dir / L"only.txt", finder.GetFilePath());
    EXPECT_FALSE(finder.FindNextFile());
    finder.Close();
    ASSERT_TRUE(finder.FindFile((dir / L"*.txt").c_str()));
    finder.FindNextFile();
    EXPECT_EQ(L"only.txt", finder.GetFileName());
}

TEST(FileIteratorFind, AnEmptyFolderStillFindsItsDotEntries)
{
    // The copy relies on this to tell an existing empty folder from a missing one.
    TempDir dir;
    qvstest::MakeDirs(dir / L"empty");
    CFileFind finder;
    const std::vector<Found> found = Search(finder, dir / L"empty\\*.*");
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(std::all_of(found.begin(), found.end(), [](const Found& f) { return f.bDots; }));
}

TEST(FileIteratorFind, ARelativeSearchReportsFullPaths)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"rel");
    qvstest::WriteBytes(dir / L"rel\\r.txt", "r");
    wchar_t szOld[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, szOld);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    CFileFind finder;
    const std::vector<Found> found = Search(finder, L"rel\\r.txt");
    SetCurrentDirectoryW(szOld);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(dir / L"rel\\r.txt", found[0].path);
}

TEST(FileIteratorFind, TheTopOfADriveKeepsItsBackslash)
{
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile(L"C:\\*.*"));
    EXPECT_EQ(L"C:\\", finder.GetRoot());
    finder.FindNextFile();
    const std::wstring path = finder.GetFilePath();
    EXPECT_EQ(L"C:\\" + finder.GetFileName(), path);
}

TEST(LongPaths, LongPathsGetTheirPrefixMadeCleanAndOthersStayAsTheyAre)
{
    const std::wstring n(100, L'n');
    const std::wstring already = L"\\\\?\\C:\\" + std::wstring(300, L'x');
    const std::wstring device = L"\\\\.\\pipe\\" + std::wstring(300, L'p');
    const struct
    {
        std::wstring path;
        std::wstring expected;
    } cases[] = {
        {L"C:\\a\\b.txt", L"C:\\a\\b.txt"},
        {already, already},
        {device, device},
        {L"C:\\" + n + L"\\" + n + L"\\.\\" + n + L"\\x\\..\\f.txt",
         L"\\\\?\\C:\\" + n + L"\\" + n + L"\\" + n + L"\\f.txt"},
        {L"C:/" + n + L"/" + n + L"/" + n, L"\\\\?\\C:\\" + n + L"\\" + n + L"\\" + n},
        {L"\\\\SRV01\\Release\\" + n + L"\\" + n + L"\\" + n,
         L"\\\\?\\UNC\\SRV01\\Release\\" + n + L"\\" + n + L"\\" + n},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.expected, AfxLongPathForm(c.path)) << qvstest::ToUtf8(c.path);
    }
}

TEST(LongPaths, AFolderDeeperThanMaxPathIsSearched)
{
    TempDir dir;
    std::wstring deep = dir.path();
    while (deep.size() < 400)
    {
        deep += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW(AfxLongPathForm(deep).c_str(), nullptr));
    }
    qvstest::WriteBytes(AfxLongPathForm(deep + L"\\deep.txt"), "deep");
    CFileFind finder;
    const std::vector<Found> found = Search(finder, deep + L"\\*.txt");
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(deep + L"\\deep.txt", found[0].path);
}
