// The comparison of the release list with the installation's, against the rule
// written the simplest way (CompareReference.h): random lists of few names,
// folders and stamps, so that matches, near-matches in case, duplicates, stamps a
// second apart and stamps that do not parse all come up often.
#include "lib/ConfFile.h"
#include "lib/File.h"
#include "lib/Miscellaneous.h"
#include "tests/support/Support.h"
#include "tests/unit/CompareReference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

using namespace qvstest;

namespace
{
template <class T> const T& Pick(std::mt19937& rng, const std::vector<T>& choices)
{
    return choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(rng)];
}

std::unique_ptr<FileListEntry> Entry(const std::wstring& folder, const std::wstring& name,
                                     const std::wstring& modified, const std::wstring& target)
{
    auto pEntry = std::make_unique<FileListEntry>();
    *pEntry = FileListEntry{folder, target, name, modified};
    return pEntry;
}
} // namespace

TEST(Compare, GivesTheMarksOfTheNestedScanOnRandomLists)
{
    TempDir dir;
    const std::wstring root = dir / L"Client";
    MakeDirs(root + L"\\bin");
    SetAppFolderForTesting(root + L"\\bin\\");
    const std::vector<std::wstring> names = {
        L"a.dll",  L"A.DLL",  L"b.exe",  L"B.Exe",        L"\x00E9.txt",    L"\x00C9.TXT",
        L"\x03B1", L"\x0391", L"\x00DF", L"\xD83D\xDE00", L"\xD83D\xDE01", L"SS",
        L"\x01C4", L"\x01C5", L"\x01C6", L"\x0131",       L"I",            L"i",
        L"\x212A", L"k",      L"",
    };
    const std::vector<std::wstring> relatives = {L"",         L"bin\\",    L"BIN\\", L"Bin\\sub\\",
                                                 L"bin\\SUB\\", L"\x03B1\\", L"\x0391\\", L"x"};
    const std::vector<std::wstring> stamps = {
        L"04/12/26 21:59:44", L"04/12/26 21:59:45", L"04/12/26 21:59:46", L"05/12/26 00:00:00",
        L"01/01/80 00:00:00", L"31/12/79 23:59:59", L"",                  L"garbage",
        L"31/02/24 10:00:00", L"29/02/24 10:00:00", L"05/03",             L"4/12/26 21:59:45",
    };
    std::wstring upperRoot = Upper(root);
    const uint32_t kBaseSeed = 20261206;
    for (uint32_t round = 0; round < 400; ++round)
    {
        std::mt19937 rng(kBaseSeed + round);
        SCOPED_TRACE(testing::Message() << "seed " << kBaseSeed + round);
        const std::wstring source = rng() % 2 ? L"\\\\SRV01\\Release" : L"\\\\SRV01\\Release\\";
        ASSERT_TRUE(WriteConfString(L"HotUpdate", L"SourceFolder", source));
        const std::wstring serverPrefix = source + L"\\";
        const std::vector<std::wstring> serverStarts = {
            serverPrefix, serverPrefix, L"\\\\srv01\\release\\", L"\\\\OTHER\\x\\",
            serverPrefix + L"a" + serverPrefix, L""};
        const std::vector<std::wstring> clientStarts = {
            root + L"\\", root + L"\\", upperRoot + L"\\", L"D:\\elsewhere\\",
            root + L"\\a" + root + L"\\", L""};
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        for (size_t i = std::uniform_int_distribution<size_t>(0, 30)(rng); i > 0; --i)
        {
            GetList(FileListKind::Server)
                .push_back(Entry(Pick(rng, serverStarts) + Pick(rng, relatives), Pick(rng, names),
                                 Pick(rng, stamps), rng() % 4 == 0 ? L"preset\\" : L""));
        }
        for (size_t i = std::uniform_int_distribution<size_t>(0, 30)(rng); i > 0; --i)
        {
            GetList(FileListKind::Client)
                .push_back(Entry(Pick(rng, clientStarts) + Pick(rng, relatives), Pick(rng, names),
                                 Pick(rng, stamps), L""));
        }
        const std::vector<std::wstring> expected = qvscomparetest::NestedScanTargets(
            GetList(FileListKind::Server), GetList(FileListKind::Client), root, source);
        std::vector<std::wstring> targets;
        for (const auto& pEntry : CompareLists())
        {
            targets.push_back(pEntry->target);
        }
        ASSERT_EQ(expected, targets);
    }
    ClearList(FileListKind::Server);
    ClearList(FileListKind::Client);
    SetAppFolderForTesting(L"");
}

// The comparison looks names up by a hash of their folded code units: two code
// units that the comparison calls equal must fold alike, or a match is missed.
TEST(Compare, CodeUnitsTheComparisonCallsEqualFoldAlike)
{
    std::vector<wchar_t> units(0x10000);
    std::iota(units.begin(), units.end(), wchar_t{0});
    std::stable_sort(units.begin(), units.end(),
                     [](wchar_t a, wchar_t b)
                     { return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_LESS_THAN; });
    size_t nClasses = 0;
    for (size_t i = 0; i < units.size(); ++i)
    {
        const wchar_t ch = units[i];
        const wchar_t folded = FoldListChar(ch);
        ASSERT_EQ(CSTR_EQUAL, CompareStringOrdinal(&ch, 1, &folded, 1, TRUE)) << int{ch};
        if (i > 0 && CompareStringOrdinal(&units[i - 1], 1, &ch, 1, TRUE) == CSTR_EQUAL)
        {
            ASSERT_EQ(FoldListChar(units[i - 1]), folded) << int{units[i - 1]} << " " << int{ch};
        }
        else
        {
            ++nClasses;
        }
    }
    EXPECT_LT(nClasses, 0x10000u - 500u) << "case pairs exist";
}
