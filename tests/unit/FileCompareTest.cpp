// The comparison of the server list with the client list: which server entries
// are marked, and with which target folder.
#include "lib/File.h"

#include "lib/ConfFile.h"
#include "lib/Miscellaneous.h"
#include "resource.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/CompareReference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

using qvstest::TempDir;

namespace
{
const wchar_t kSource[] = L"\\\\SRV01\\Release";

std::unique_ptr<FileListEntry> MakeEntry(const std::wstring& folder, const std::wstring& name,
                                         const std::wstring& modified,
                                         const std::wstring& target = L"")
{
    auto pEntry = std::make_unique<FileListEntry>();
    pEntry->folder = folder;
    pEntry->target = target;
    pEntry->name = name;
    pEntry->modified = modified;
    return pEntry;
}

// The program folder in a temporary installation root, with QVS.ini naming the release.
class Compare : public testing::Test
{
protected:
    void SetUp() override
    {
        qvstest::MakeDirs(m_dir / L"Client\\bin");
        SetAppFolderForTesting(m_dir / L"Client\\bin\\");
        m_root = m_dir / L"Client";
        SetSourceFolder(kSource);
    }
    void TearDown() override
    {
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        SetAppFolderForTesting(L"");
    }

    static void SetSourceFolder(const std::wstring& folder)
    {
        ASSERT_TRUE(WriteConfString(L"HotUpdate", L"SourceFolder", folder));
    }
    // Entries are kept in the order they are added here, front to back.
    static void Server(const std::wstring& folder, const std::wstring& name,
                       const std::wstring& modified, const std::wstring& target = L"")
    {
        GetList(FileListKind::Server).push_back(MakeEntry(folder, name, modified, target));
    }
    void Client(const std::wstring& relative, const std::wstring& name,
                const std::wstring& modified)
    {
        GetList(FileListKind::Client)
            .push_back(MakeEntry(m_root + L"\\" + relative, name, modified));
    }
    static std::vector<std::wstring> Targets()
    {
        std::vector<std::wstring> targets;
        for (const auto& pEntry : GetList(FileListKind::Server))
        {
            targets.push_back(pEntry->target);
        }
        return targets;
    }

    TempDir m_dir;
    std::wstring m_root;
};

const wchar_t kStamp[] = L"04/12/26 21:59:45";
const wchar_t kStampPlus1[] = L"04/12/26 21:59:46";
const wchar_t kStampMinus1[] = L"04/12/26 21:59:44";
} // namespace

TEST_F(Compare, EqualStampsAreNotCopied)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStamp);
    Client(L"bin\\", L"app.dll", kStamp);
    EXPECT_EQ(&GetList(FileListKind::Server), &CompareLists());
    EXPECT_EQ(std::vector<std::wstring>{L""}, Targets());
}

TEST_F(Compare, AnOlderServerFileIsNotCopied)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStampMinus1);
    Client(L"bin\\", L"app.dll", kStamp);
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{L""}, Targets());
}

TEST_F(Compare, AServerFileNewerByOneSecondGoesToTheClientsFolder)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStampPlus1);
    Client(L"bin\\", L"app.dll", kStamp);
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{m_root + L"\\bin\\"}, Targets());
}

TEST_F(Compare, NamesAndFoldersDifferingInCaseMatchAndTheClientsSpellingIsKept)
{
    Server(L"\\\\SRV01\\Release\\BIN\\Sub\\", L"APP.Dll", kStampPlus1);
    Server(L"\\\\SRV01\\Release\\\x0394\\", L"\x03A3.DLL", kStampPlus1);
    Client(L"bin\\sub\\", L"app.dll", kStamp);
    Client(L"\x03B4\\", L"\x03C3.dll", kStamp);
    CompareLists();
    EXPECT_EQ((std::vector<std::wstring>{m_root + L"\\bin\\sub\\", m_root + L"\\\x03B4\\"}),
              Targets());
}

TEST_F(Compare, APrefixInAnotherCaseIsNotRemoved)
{
    // Older than the client's copy, so a match would leave it alone; it is new instead.
    Server(L"\\\\srv01\\release\\bin\\", L"app.dll", kStampMinus1);
    Client(L"bin\\", L"app.dll", kStamp);
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{m_root + L"\\bin\\"}, Targets());
}

TEST_F(Compare, TheClientPrefixIsMatchedWithCaseToo)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStampMinus1);
    GetList(FileListKind::Client).push_back(MakeEntry(m_root + L"\\BIN\\", L"app.dll", kStamp));
    std::wstring upperRoot = m_root;
    std::transform(upperRoot.begin(), upperRoot.end(), upperRoot.begin(),
                   [](wchar_t ch) { return static_cast<wchar_t>(towupper(ch)); });
    ASSERT_NE(upperRoot, m_root);
    GetList(FileListKind::Client)
        .push_back(MakeEntry(upperRoot + L"\\bin\\", L"app.dll", L"01/01/80 00:00:00"));
    CompareLists();
    // Only the first client entry matches and it is newer: nothing to do. The
    // second, far older, would have been marked had its prefix been removed.
    EXPECT_EQ(std::vector<std::wstring>{L""}, Targets());
}

TEST_F(Compare, EveryOccurrenceOfThePrefixIsRemoved)
{
    Server(L"\\\\SRV01\\Release\\a\\\\SRV01\\Release\\b\\", L"x.dll", kStampPlus1);
    Client(L"ab\\", L"x.dll", kStamp);
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{m_root + L"\\ab\\"}, Targets());
}

TEST_F(Compare, TheSameNameInTwoFoldersMatchesItsOwnFolder)
{
    Server(L"\\\\SRV01\\Release\\a\\", L"x.dll", kStampPlus1);
    Server(L"\\\\SRV01\\Release\\b\\", L"x.dll", kStamp);
    Client(L"b\\", L"x.dll", kStamp);
    Client(L"a\\", L"x.dll", kStamp);
    CompareLists();
    EXPECT_EQ((std::vector<std::wstring>{m_root + L"\\a\\", L""}), Targets());
}

TEST_F(Compare, ASourceFolderEndingWithABackslashMakesEveryFileNew)
{
    SetSourceFolder(L"\\\\SRV01\\Release\\");
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStampMinus1);
    Server(L"\\\\SRV01\\Release\\", L"root.txt", kStamp);
    Client(L"bin\\", L"app.dll", kStamp);
    Client(L"", L"root.txt", kStamp);
    CompareLists();
    EXPECT_EQ((std::vector<std::wstring>{m_root + L"\\bin\\", m_root + L"\\"}), Targets());
}

TEST_F(Compare, AClientStampThatDoesNotParseIsOlder)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStamp);
    Client(L"bin\\", L"app.dll", L"yesterday");
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{m_root + L"\\bin\\"}, Targets());
}

TEST_F(Compare, AServerStampThatDoesNotParseIsNeverLater)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", L"32/12/26 21:59:45");
    Server(L"\\\\SRV01\\Release\\bin\\", L"b.dll", L"garbage");
    Client(L"bin\\", L"app.dll", kStamp);
    Client(L"bin\\", L"b.dll", L"other garbage");
    CompareLists();
    EXPECT_EQ((std::vector<std::wstring>{L"", L""}), Targets());
}

TEST_F(Compare, NewFilesGoBelowTheRootWithoutTheFirstFolder)
{
    Server(L"\\\\SRV01\\Release\\sub\\deep\\", L"new.dll", kStamp);
    Server(L"\\\\SRV01\\Release\\bin\\", L"new.dll", kStamp);
    Server(L"\\\\SRV01\\Release\\", L"new.dll", kStamp);
    Server(L"\\\\OTHER\\Share\\x\\", L"new.dll", kStamp);
    Server(L"", L"nofolder.dll", kStamp);
    Client(L"bin\\", L"old.dll", kStamp);
    CompareLists();
    EXPECT_EQ((std::vector<std::wstring>{m_root + L"\\sub\\deep\\", m_root + L"\\bin\\",
                                         m_root + L"\\", m_root + L"\\x\\", m_root}),
              Targets());
}

TEST_F(Compare, NewFilesOfAReleaseBelowItsShareKeepTheirPlaceBelowTheRelease)
{
    // D:\Releases\QVS listed on SRV01, the drive's top folder shared as Releases.
    SetSourceFolder(L"\\\\SRV01\\Releases\\QVS");
    Server(L"\\\\SRV01\\Releases\\QVS\\bin\\", L"new.dll", kStamp);
    Server(L"\\\\srv01\\releases\\qvs\\", L"top.txt", kStamp);
    Server(L"\\\\SRV01\\Releases\\QVS\\sub\\deep\\", L"x.dll", kStamp);
    CompareLists();
    EXPECT_EQ(
        (std::vector<std::wstring>{m_root + L"\\bin\\", m_root + L"\\", m_root + L"\\sub\\deep\\"}),
        Targets());
}

TEST_F(Compare, EveryClientEntryIsExaminedAndTheLastOlderMatchWins)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStamp);
    Client(L"BIN\\", L"app.dll", kStampMinus1);
    Client(L"bin\\", L"APP.DLL", kStampMinus1);
    Client(L"Bin\\", L"app.dll", kStampPlus1); // newer: does not take the mark back
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{m_root + L"\\bin\\"}, Targets());
}

TEST_F(Compare, AMatchThatIsNotOlderLeavesAnEarlierTargetAlone)
{
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStamp, L"earlier");
    Client(L"bin\\", L"app.dll", kStamp);
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{L"earlier"}, Targets());
}

TEST_F(Compare, EmptyListsAndAnEmptyClientList)
{
    EXPECT_TRUE(CompareLists().empty());
    Server(L"\\\\SRV01\\Release\\bin\\", L"app.dll", kStamp);
    CompareLists();
    EXPECT_EQ(std::vector<std::wstring>{m_root + L"\\bin\\"}, Targets());
}

// ---- Case folding agrees with the comparison ----

TEST(CompareFolding, CodeUnitsTheComparisonCallsEqualFoldAlike)
{
    // Sorted by the comparison itself, equal code units stand side by side; each
    // such run must fold to one value, and each code unit must equal its fold.
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
        ASSERT_EQ(CSTR_EQUAL, CompareStringOrdinal(&ch, 1, &folded, 1, TRUE))
            << std::hex << int{ch};
        if (i > 0 && CompareStringOrdinal(&units[i - 1], 1, &ch, 1, TRUE) == CSTR_EQUAL)
        {
            ASSERT_EQ(FoldListChar(units[i - 1]), folded)
                << std::hex << int{units[i - 1]} << " " << int{ch};
        }
        else
        {
            ++nClasses;
        }
    }
    // Case pairs exist, so there are fewer classes than code units.
    EXPECT_LT(nClasses, 0x10000u - 500u);
    EXPECT_EQ(FoldListChar(L'a'), FoldListChar(L'A'));
    EXPECT_EQ(FoldListChar(L'\x03B1'), FoldListChar(L'\x0391'));
    EXPECT_EQ(FoldListChar(L'\x0436'), FoldListChar(L'\x0416'));
    EXPECT_NE(FoldListChar(L'a'), FoldListChar(L'b'));
}

// ---- The comparison gives the marks of the plain nested scan ----

namespace
{
using qvscomparetest::NestedScanTargets;

template <class T> const T& Pick(std::mt19937& rng, const std::vector<T>& choices)
{
    return choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(rng)];
}
} // namespace

TEST_F(Compare, GivesTheMarksOfTheNestedScanOnRandomLists)
{
    // Few names, folders and stamps, so that matches, near-matches in case,
    // duplicate and unparsable stamps all come up often.
    const std::vector<std::wstring> names = {
        L"a.dll",      L"A.DLL",  L"b.exe",  L"B.Exe",        L"\x00E9.txt",
        L"\x00C9.TXT", L"\x03B1", L"\x0391", L"\xD83D\xDE00", L"\xD83D\xDE01",
        L"\x00DF",     L"SS",     L"\x01C4", L"\x01C5",       L"\x01C6",
        L"\x0131",     L"I",      L"i",      L"\x212A",       L"k",
        L"",
    };
    const std::vector<std::wstring> relatives = {
        L"",         L"bin\\",    L"BIN\\", L"Bin\\sub\\", L"bin\\SUB\\",
        L"\x03B1\\", L"\x0391\\", L"x\\",   L"x",
    };
    const std::vector<std::wstring> stamps = {
        L"04/12/26 21:59:44",
        L"04/12/26 21:59:45",
        L"04/12/26 21:59:46",
        L"05/12/26 00:00:00",
        L"01/01/80 00:00:00",
        L"31/12/79 23:59:59",
        L"",
        L"garbage",
        L"31/02/24 10:00:00",
        L"29/02/24 10:00:00",
        L"05/03",
        L"04/12/26 21:59:45x",
        L"4/12/26 21:59:45",
    };
    const std::vector<std::wstring> sources = {kSource, std::wstring(kSource) + L"\\"};

    const uint32_t kBaseSeed = 20261206;
    for (uint32_t round = 0; round < 400; ++round)
    {
        const uint32_t seed = kBaseSeed + round;
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const std::wstring source = Pick(rng, sources);
        SetSourceFolder(source);
        const std::wstring serverPrefix = source + L"\\";
        const std::wstring clientPrefix = m_root + L"\\";
        std::wstring upperRoot = m_root;
        std::transform(upperRoot.begin(), upperRoot.end(), upperRoot.begin(),
                       [](wchar_t ch) { return static_cast<wchar_t>(towupper(ch)); });
        const std::vector<std::wstring> serverStarts = {
            serverPrefix,
            serverPrefix,
            serverPrefix,
            L"\\\\srv01\\release\\",
            L"\\\\OTHER\\x\\",
            serverPrefix + L"a" + serverPrefix,
            L"",
        };
        const std::vector<std::wstring> clientStarts = {
            clientPrefix,
            clientPrefix,
            clientPrefix,
            upperRoot + L"\\",
            L"D:\\elsewhere\\",
            clientPrefix + L"a" + clientPrefix,
            L"",
        };

        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        const size_t nServer = std::uniform_int_distribution<size_t>(0, 30)(rng);
        const size_t nClient = std::uniform_int_distribution<size_t>(0, 30)(rng);
        for (size_t i = 0; i < nServer; ++i)
        {
            const std::wstring target = rng() % 4 == 0 ? L"preset\\" : L"";
            GetList(FileListKind::Server)
                .push_back(MakeEntry(Pick(rng, serverStarts) + Pick(rng, relatives),
                                     Pick(rng, names), Pick(rng, stamps), target));
        }
        for (size_t i = 0; i < nClient; ++i)
        {
            GetList(FileListKind::Client)
                .push_back(MakeEntry(Pick(rng, clientStarts) + Pick(rng, relatives),
                                     Pick(rng, names), Pick(rng, stamps)));
        }
        const std::vector<std::wstring> expected = NestedScanTargets(
            GetList(FileListKind::Server), GetList(FileListKind::Client), m_root, source);
        CompareLists();
        ASSERT_EQ(expected, Targets());
    }
}
