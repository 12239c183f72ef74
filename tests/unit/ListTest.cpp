// Release lists come from the network and are not trusted. Malformed, hostile
// and randomly mutated list files go through ReadList, CompareLists and the
// copy: a clean failure or the plan the comparison's own rule gives
// (CompareReference.h), every destination the copy accepts inside the root under
// the entry's own name, and the file system around the root unchanged.
#include "lib/ConfFile.h"
#include "lib/File.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"
#include "tests/support/Scenario.h"
#include "tests/unit/CompareReference.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

using namespace qvstest;

namespace
{
const wchar_t kStamp[] = L"10/01/26 12:00:00";

std::wstring Line(const std::wstring& folder, const std::wstring& name,
                  const std::wstring& stamp = kStamp)
{
    return folder + L"\t\t" + name + L"\t\t" + stamp + L"\r\n";
}

bool Refused(const std::wstring& root, const FileListEntry& entry)
{
    return !SCFileIterator::CheckCopyDestination(root, entry.target, entry.name).empty();
}

// A sandbox: the installation root inst (program folder inst\bin), a release
// folder whose files hostile lines can name, a sibling whose name begins like
// the root's, and a folder outside.
class Lists : public testing::Test
{
protected:
    void SetUp() override
    {
        m_root = m_sandbox / L"inst";
        m_release = m_sandbox / L"release";
        for (const wchar_t* file : {L"bin\\app.dll", L"bin\\new.dll", L"bin\\QVS.exe",
                                    L"bin\\sub\\deep.dat", L"top.txt", L"evil.dll"})
        {
            WriteBytes(m_release + L"\\" + file, "release file");
        }
        WriteBytes(m_sandbox / L"evil.dll", "beside the installation");
        WriteBytes(m_sandbox / L"inst2\\canary.txt", "canary");
        WriteBytes(m_sandbox / L"lists\\canary.txt", "canary");
        MakeDirs(m_root + L"\\bin");
        SetAppFolderForTesting(m_root + L"\\bin\\");
        ASSERT_TRUE(WriteConfString(L"HotUpdate", L"SourceFolder", m_release));
    }
    void TearDown() override
    {
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        SetAppFolderForTesting(L"");
    }

    // Reads the bytes as a release list, the installation as the walk lists it:
    // TRUE/FALSE as ReadList gave it; a failed read leaves the list empty and says why.
    BOOL Read(const std::string& bytes) const
    {
        ClearList(FileListKind::Client);
        for (const wchar_t* file : {L"bin\\app.dll", L"bin\\QVS.exe", L"bin\\sub\\deep.dat", L"top.txt"})
        {
            const std::wstring path = m_root + L"\\" + file;
            const size_t slash = path.rfind(L'\\');
            GetList(FileListKind::Client)
                .push_back(std::make_unique<FileListEntry>(FileListEntry{
                    path.substr(0, slash + 1), L"", path.substr(slash + 1), L"01/06/25 12:00:00"}));
        }
        WriteBytes(m_sandbox / L"lists\\HotUpdateFileList_Server.txt", bytes);
        EXPECT_TRUE(OpenListFile(FileListKind::Server, m_sandbox / L"lists"));
        const BOOL bRead = ReadList(FileListKind::Server);
        CloseListFile(FileListKind::Server);
        EXPECT_EQ(bRead == FALSE, GetListFileError(FileListKind::Server) != 0);
        EXPECT_TRUE(bRead || GetList(FileListKind::Server).empty());
        return bRead;
    }

    // Compares and checks the plan against the rule; every destination the copy
    // accepts lies inside the root under the entry's own name.
    void CompareAndCheckPlan() const
    {
        const std::vector<std::wstring> expected = qvscomparetest::NestedScanTargets(
            GetList(FileListKind::Server), GetList(FileListKind::Client), m_root, m_release);
        std::vector<std::wstring> targets;
        for (const auto& pEntry : CompareLists())
        {
            targets.push_back(pEntry->target);
            if (pEntry->target.empty() || Refused(m_root, *pEntry))
            {
                continue;
            }
            const std::wstring joined = pEntry->target + pEntry->name;
            std::vector<wchar_t> full(joined.size() + MAX_PATH);
            const DWORD n = GetFullPathNameW(joined.c_str(), static_cast<DWORD>(full.size()),
                                             full.data(), nullptr);
            const std::wstring canonical(full.data(), n < full.size() ? n : 0);
            const std::string shown = ToUtf8(joined.substr(0, 300));
            EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(canonical.c_str(),
                                              static_cast<int>(m_root.size() + 1),
                                              (m_root + L"\\").c_str(), -1, TRUE))
                << "accepted outside the root: " << shown;
            EXPECT_EQ(pEntry->name, canonical.substr(canonical.rfind(L'\\') + 1)) << shown;
            EXPECT_EQ(std::wstring::npos, canonical.find(L':', 2)) << shown;
        }
        ASSERT_EQ(expected, targets);
    }

    // Runs the copy on the plan; nothing outside the root may change.
    void CopyAndCheckOutside() const
    {
        const Tree before = Scan(m_sandbox.path(), {L"inst"});
        SCFileIterator::CopyFiles(&GetList(FileListKind::Server), nullptr, nullptr);
        EXPECT_EQ("", Differences(before, Scan(m_sandbox.path(), {L"inst"})))
            << "the copy changed something outside the root";
    }

    TempDir m_sandbox;
    std::wstring m_root;
    std::wstring m_release;
};

std::vector<std::wstring> HostileLines(const std::wstring& release, const std::wstring& root)
{
    const std::wstring bin = release + L"\\bin\\";
    std::vector<std::wstring> lines;
    for (const wchar_t* name :
         {L"..\\evil.dll", L"..\\..\\evil.dll", L"../../evil.dll", L"sub\\..\\..\\evil.dll",
          L"C:\\evil.dll", L"C:evil.dll", L"\\evil.dll", L"\\\\SRV01\\share\\evil.dll",
          L"\\\\?\\C:\\evil.dll", L"\\\\.\\PhysicalDrive0", L"CON", L"nul", L"NUL.dll", L"AUX.txt",
          L"COM1", L"LPT9.log", L"CONIN$", L"app.dll:stream", L"app.dll::$DATA", L"app.dll.",
          L"app.dll ", L".", L"..", L"*.dll", L"a?.dll", L"a|b", L"a\x0001.dll", L"QVS.exe"})
    {
        lines.push_back(Line(bin, name));
    }
    for (const std::wstring& folder :
         {release + L"\\..\\", release + L"\\bin\\..\\..\\", release + L"\\bin:stream\\",
          release + L"\\CON\\", release + L"\\bin/../../", release + L"\\bin\\sub",
          std::wstring(L"C:\\"), std::wstring(L"\\\\?\\C:\\"), std::wstring(L"..\\..\\"),
          std::wstring(L"\\\\SRV01\\"), std::wstring(L""), root + L"\\..\\", root + L"2\\"})
    {
        lines.push_back(Line(folder, L"evil.dll"));
    }
    return lines;
}
} // namespace

TEST_F(Lists, MalformedAndHostileListsFailCleanlyOrGiveTheRulesPlanAndStayInside)
{
    const std::wstring good = Line(m_release + L"\\bin\\", L"app.dll");
    const struct
    {
        const char* name;
        std::string bytes;
        int nEntries; // -1: the read fails with ERROR_INVALID_DATA
    } corpus[] = {
        {"empty file", "", 0},
        {"odd byte count", Utf16Bytes(good) + "x", -1},
        {"no line end", Utf16Bytes(good.substr(0, good.size() - 2)), 1},
        {"no separators", Utf16Bytes(L"just some text\r\n"), 1},
        {"three hundred fields", Utf16Bytes(std::wstring(900, L'\t') + L"\r\n"), 1},
        {"a line beyond the longest path",
         Utf16Bytes(std::wstring(kMaxListLineLength + 1, L'x') + L"\r\n" + good), -1},
        {"the longest line", Utf16Bytes(std::wstring(kMaxListLineLength, L'y') + L"\r\n" + good), 2},
        {"a NUL in a name", Utf16Bytes(Line(m_release + L"\\bin\\", std::wstring(L"a\0b", 3))), -1},
        {"lone surrogates", Utf16Bytes(Line(m_release + L"\\\xDE00\\", L"a\xD800.dll")), 1},
        {"stamps out of range",
         Utf16Bytes(Line(m_release + L"\\bin\\", L"app.dll", L"99/99/99 99:99:99") +
               Line(m_release + L"\\", L"top.txt", L"-1/-1/-1 -1:-1:-1") +
               Line(m_release + L"\\bin\\", L"new.dll", L"2026-01-10T12:00:00Z")),
         3},
        {"empty and odd line ends", Utf16Bytes(L"\r\n\r\n" + good + L"\r\n\n\r"), 6},
        {"a byte-order mark", Utf16Bytes(L"\xFEFF" + good), 1},
        {"UTF-8", "\\\\SRV\\Release\\bin\\\t\tapp.dll\t\t10/01/26 12:00:00\r\n", 1},
        {"binary noise", std::string("\x4D\x5A\x90\x00\x03\x00\x00\x00\xFF\xFF\x0D\x0A", 12), -1},
    };
    for (const auto& item : corpus)
    {
        SCOPED_TRACE(item.name);
        const BOOL bRead = Read(item.bytes);
        EXPECT_EQ(item.nEntries >= 0, bRead != FALSE);
        if (!bRead)
        {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetListFileError(FileListKind::Server));
            continue;
        }
        EXPECT_EQ(static_cast<size_t>(item.nEntries), GetList(FileListKind::Server).size());
        CompareAndCheckPlan();
        CopyAndCheckOutside();
    }

    // Hostile lines: each is refused but the ordinary update among them (QVS.exe)
    // and three folders outside the release that land below the root (..\..\,
    // \\?\C:\ and the root's sibling); a release with a refused line installs nothing.
    const std::vector<std::wstring> lines = HostileLines(m_release, m_root);
    std::wstring text;
    for (const std::wstring& line : lines)
    {
        text += line;
    }
    ASSERT_TRUE(Read(Utf16Bytes(text)));
    ASSERT_EQ(lines.size(), GetList(FileListKind::Server).size());
    CompareAndCheckPlan();
    size_t nAccepted = 0;
    for (const auto& pEntry : GetList(FileListKind::Server))
    {
        nAccepted += !pEntry->target.empty() && !Refused(m_root, *pEntry) ? 1u : 0u;
    }
    EXPECT_EQ(4u, nAccepted);
    CopyAndCheckOutside();
    EXPECT_FALSE(Exists(m_root + L"\\bin\\QVS.exe"));
}

TEST_F(Lists, MutatedListsFailCleanlyOrGiveTheRulesPlanAndStayInside)
{
    uint32_t seed = static_cast<uint32_t>(GetTickCount64() ^ (GetCurrentProcessId() << 16));
    if (const wchar_t* fixed = _wgetenv(L"QVS_SEED"))
    {
        seed = static_cast<uint32_t>(wcstoul(fixed, nullptr, 10));
    }
    const uint64_t nMutations = LongRun() ? 100000 : 1000;
    std::printf("[ seed     ] %u (QVS_SEED=%u repeats this run)\n", seed, seed);
    std::fflush(stdout);

    std::wstring base = Line(m_release + L"\\bin\\", L"app.dll") +
                        Line(m_release + L"\\bin\\sub\\", L"deep.dat") +
                        Line(m_release + L"\\", L"top.txt", L"31/12/79 23:59:59");
    for (const std::wstring& line : HostileLines(m_release, m_root))
    {
        base += line;
    }
    const std::vector<std::wstring> tokens = {
        L"\t\t", L"\t", L"\r\n", L"\r", L"\n", std::wstring(1, L'\0'), L"\xD800", L"\xFEFF",
        L"\\", L"/", L":", L".", L"..\\", L"\\..\\", L"CON", L"*", L" ", L"C:\\", L"\\\\",
        L"\\\\?\\", L"::$DATA", m_root + L"\\", m_release + L"\\", L"~QVSCopy-1-1.tmp",
        kStamp, L"99/99/99 99:99:99", std::wstring(300, L'a'),
        std::wstring(kMaxListLineLength, L'b')};
    std::mt19937 rng(seed);
    const auto pos = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
    uint64_t nRead = 0;
    for (uint64_t i = 0; i < nMutations && !HasFailure(); ++i)
    {
        std::wstring text = base;
        for (int op = std::uniform_int_distribution<int>(1, 6)(rng); op > 0; --op)
        {
            const size_t at = pos(text.size() - 1);
            switch (rng() % 5)
            {
            case 0: // any code unit
                text[at] = static_cast<wchar_t>(rng() & 0xFFFF);
                break;
            case 1: // a token that means something to the format or the system
                text.insert(at, tokens[pos(tokens.size() - 1)]);
                break;
            case 2:
                text.erase(at, pos(80));
                break;
            case 3:
                text.insert(pos(text.size()), text.substr(at, pos(120)));
                break;
            default:
                text.replace(at, pos(12), tokens[pos(tokens.size() - 1)]);
                break;
            }
            text = text.empty() ? L"x" : text;
        }
        std::string bytes = Utf16Bytes(text);
        if (rng() % 16 == 0)
        {
            bytes.resize(pos(bytes.size() - 1));
        }
        if (Read(bytes))
        {
            ++nRead;
            CompareAndCheckPlan();
            if (i % 50 == 0)
            {
                CopyAndCheckOutside();
            }
        }
        if (HasFailure())
        {
            ADD_FAILURE() << "seed " << seed << ", mutation " << i << " (QVS_SEED=" << seed
                          << " repeats it)";
        }
    }
    // Most mutations must still be lists, so that the comparison and the copy
    // were exercised, and some must not be.
    EXPECT_GT(nRead, nMutations / 2);
    EXPECT_LT(nRead, nMutations);
}

// Where a copy may go: the rows are decided by hand, the function must agree.
TEST(CopyDestination, OnlyPlainNamesInFoldersBelowTheRootAreAccepted)
{
    const struct
    {
        const wchar_t* target;
        const wchar_t* name;
        bool bAccepted;
    } rows[] = {
        {L"C:\\Client\\", L"app.dll", true},
        {L"c:\\client\\Sub Folder\\deeper\\", L"name with spaces.txt", true},
        {L"C:\\Client\\bin\\", L".hidden", true},
        {L"C:\\Client\\bin\\", L"console.dll", true},
        {L"C:\\Client\\bin\\", L"COM10.txt", true},
        {L"C:\\Client\\bin\\", L"a..b.txt", true},
        {L"C:\\Client\\bin\\", L"", false},
        {L"C:\\Client\\bin\\", L"...", false},
        {L"C:\\Client\\bin\\", L"sub/x.dll", false},
        {L"C:\\Client\\bin\\", L"trailing ", false},
        {L"C:\\Client\\bin\\", L"quote\".dll", false},
        {L"C:\\Client\\bin\\", L"<x>.dll", false},
        {L"C:\\Client\\bin\\", L"tab\t.dll", false},
        {L"C:\\Client\\bin\\", L"COM\u00B9", false},
        {L"C:\\Client\\bin\\", L"CONOUT$", false},
        {L"C:\\Client\\bin\\", L"NUL .txt", false},
        {L"C:\\Client\\bin\\", L"aux.tar.gz", false},
        {L"C:\\Client", L"app.dll", false},
        {L"C:\\ClientX\\", L"app.dll", false},
        {L"D:\\Client\\", L"app.dll", false},
        {L"C:\\Client\\.\\bin\\", L"app.dll", false},
        {L"C:\\Client\\bin.\\", L"app.dll", false},
        {L"C:\\Client\\*\\", L"app.dll", false},
        {L"\\\\?\\C:\\Client\\bin\\", L"app.dll", false},
        {L"bin\\", L"app.dll", false},
    };
    for (const auto& row : rows)
    {
        EXPECT_EQ(row.bAccepted,
                  SCFileIterator::CheckCopyDestination(L"C:\\Client", row.target, row.name).empty())
            << ToUtf8(row.target) << " " << ToUtf8(row.name);
    }
    EXPECT_FALSE(SCFileIterator::CheckCopyDestination(L"", L"C:\\Client\\", L"a.dll").empty());
}
