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

TEST(FileIteratorFind, TheLastEntryIsCurrentWhenFindNextFileSaysNoMore)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"only.txt", "x");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile((dir / L"only.txt").c_str()));
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_EQ(L"only.txt", finder.GetFileName());
    EXPECT_EQ(dir / L"only.txt", finder.GetFilePath());
    EXPECT_FALSE(finder.FindNextFile());
}

TEST(FileIteratorFind, NothingMatchingMeansFalseAndAMissingFolderToo)
{
    TempDir dir;
    CFileFind finder;
    EXPECT_FALSE(finder.FindFile((dir / L"none.*").c_str()));
    EXPECT_FALSE(finder.FindFile((dir / L"missing\\*.*").c_str()));
    EXPECT_FALSE(finder.FindNextFile());
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

TEST(FileIteratorFind, CloseEndsTheSearchAndASecondSearchStartsAfresh)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"one.txt", "1");
    qvstest::MakeDirs(dir / L"two");
    qvstest::WriteBytes(dir / L"two\\inner.txt", "2");
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile((dir / L"*.*").c_str()));
    finder.Close();
    EXPECT_FALSE(finder.FindNextFile());
    const std::vector<Found> found = Search(finder, dir / L"two\\*.txt");
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(dir / L"two\\inner.txt", found[0].path);
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

TEST(FileIteratorFind, AttributeMasks)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"h.txt", "h");
    SetFileAttributesW((dir / L"h.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile((dir / L"h.txt").c_str()));
    finder.FindNextFile();
    EXPECT_TRUE(finder.MatchesMask(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(finder.MatchesMask(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_FALSE(finder.MatchesMask(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    SetFileAttributesW((dir / L"h.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(LongPaths, ShortPathsAndDeviceFormsStayAsTheyAre)
{
    EXPECT_EQ(L"C:\\a\\b.txt", AfxLongPathForm(L"C:\\a\\b.txt"));
    const std::wstring already = L"\\\\?\\C:\\" + std::wstring(300, L'x');
    EXPECT_EQ(already, AfxLongPathForm(already));
    const std::wstring device = L"\\\\.\\pipe\\" + std::wstring(300, L'p');
    EXPECT_EQ(device, AfxLongPathForm(device));
}

TEST(LongPaths, LongLocalAndNetworkPathsGetTheirPrefixesAndAreMadeClean)
{
    const std::wstring name(100, L'n');
    const std::wstring local = L"C:\\" + name + L"\\" + name + L"\\.\\" + name + L"\\x\\..\\f.txt";
    EXPECT_EQ(L"\\\\?\\C:\\" + name + L"\\" + name + L"\\" + name + L"\\f.txt",
              AfxLongPathForm(local));
    const std::wstring unc = L"\\\\SRV01\\Release\\" + name + L"\\" + name + L"\\" + name;
    EXPECT_EQ(L"\\\\?\\UNC\\SRV01\\Release\\" + name + L"\\" + name + L"\\" + name,
              AfxLongPathForm(unc));
    EXPECT_EQ(L"\\\\?\\C:\\" + name + L"\\" + name + L"\\" + name,
              AfxLongPathForm(L"C:/" + name + L"/" + name + L"/" + name));
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
