// Server lists come from the network and are not trusted. Malformed and randomly
// mutated list files go through ReadList, CompareLists and the copy: never a
// crash, a hang or an exception out, but a clean failure or the plan the
// comparison's own rule gives. Hostile entries (climbing folders, absolute, drive
// and UNC names, separators, device names, streams) never make the copy write
// outside the installation root: the file system around the root is compared
// before and after.
#include "lib/ConfFile.h"
#include "lib/File.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"
#include "tests/unit/CompareReference.h"
#include "tests/unit/FileIteratorTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

using qvstest::TempDir;

namespace
{
const wchar_t kStamp[] = L"10/01/26 12:00:00";
const wchar_t kOldStamp[] = L"01/06/25 12:00:00";

bool LongRun()
{
    const wchar_t* value = _wgetenv(L"QVS_LONG");
    return value != nullptr && *value != L'\0' && wcscmp(value, L"0") != 0;
}

std::string Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

std::wstring Line(const std::wstring& folder, const std::wstring& name,
                  const std::wstring& stamp = kStamp)
{
    return folder + L"\t\t" + name + L"\t\t" + stamp + L"\r\n";
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix)
{
    return text.size() >= prefix.size() &&
           qvscomparetest::SameIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// What a file system tree holds: each file's content and attributes, each folder.
using TreeState = std::map<std::wstring, std::string>;

void CollectState(const std::wstring& folder, const std::wstring& skip, TreeState& state)
{
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW(AfxLongPathForm(folder + L"\\*").c_str(), &fd));
    if (!find)
    {
        return;
    }
    do
    {
        const std::wstring name = fd.cFileName;
        const std::wstring path = folder + L"\\" + name;
        if (name == L"." || name == L".." || qvscomparetest::SameIgnoringCase(path, skip))
        {
            continue;
        }
        const std::string attributes = std::to_string(fd.dwFileAttributes);
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            state[path + L"\\"] = attributes;
            CollectState(path, skip, state);
        }
        else
        {
            std::string content = "<unreadable>";
            try
            {
                content = qvstest::ReadBytes(AfxLongPathForm(path));
            }
            catch (const std::exception&)
            {
                // Still a file that is there: its name tells.
            }
            state[path] = attributes + ":" + content;
        }
    } while (FindNextFileW(find.get(), &fd));
}

// A sandbox: the installation root inst (program folder inst\bin), a release
// folder with real files that hostile lines can name, a sibling whose name
// begins like the root's, and a folder of canaries outside.
class HostileLists : public testing::Test
{
protected:
    void SetUp() override
    {
        m_root = m_sandbox / L"inst";
        m_release = m_sandbox / L"release";
        m_lists = m_sandbox / L"lists";
        for (const std::wstring& folder : {m_root + L"\\bin", m_release + L"\\bin\\sub", m_lists,
                                           m_sandbox / L"inst2", m_sandbox / L"outside"})
        {
            qvstest::MakeDirs(folder);
        }
        for (const wchar_t* relative : {L"bin\\app.dll", L"bin\\new.dll", L"bin\\QVS.exe",
                                        L"bin\\sub\\deep.dat", L"top.txt", L"evil.dll"})
        {
            qvstest::WriteBytes(m_release + L"\\" + relative, "release file");
        }
        qvstest::WriteBytes(m_sandbox / L"evil.dll", "a file beside the sandbox's folders");
        qvstest::WriteBytes(m_sandbox / L"outside\\canary.txt", "canary");
        qvstest::WriteBytes(m_sandbox / L"inst2\\canary.txt", "canary");
        SetAppFolderForTesting(m_root + L"\\bin\\");
        ASSERT_TRUE(WriteConfString(L"HotUpdate", L"SourceFolder", m_release));
        SetClientList();
    }
    void TearDown() override
    {
        ClearList(FileListKind::Server);
        ClearList(FileListKind::Client);
        CloseListFile(FileListKind::Server);
        SetAppFolderForTesting(L"");
    }

    // The installation as the walk would have listed it.
    void SetClientList() const
    {
        ClearList(FileListKind::Client);
        FileList& client = GetList(FileListKind::Client);
        const auto add = [&](const std::wstring& folder, const std::wstring& name)
        {
            auto pEntry = std::make_unique<FileListEntry>();
            pEntry->folder = folder;
            pEntry->name = name;
            pEntry->modified = kOldStamp;
            client.push_back(std::move(pEntry));
        };
        add(m_root + L"\\bin\\", L"app.dll");
        add(m_root + L"\\bin\\", L"QVS.exe");
        add(m_root + L"\\bin\\sub\\", L"deep.dat");
        add(m_root + L"\\", L"top.txt");
    }

    TreeState Outside() const
    {
        TreeState state;
        CollectState(m_sandbox.path(), m_root, state);
        return state;
    }

    // Reads the bytes as the server list. TRUE/FALSE as ReadList gave it; a read
    // that fails must leave the list empty and say why.
    BOOL Read(const std::string& bytes) const
    {
        CloseListFile(FileListKind::Server);
        qvstest::WriteBytes(m_lists + L"\\HotUpdateFileList_Server.txt", bytes);
        EXPECT_TRUE(OpenListFile(FileListKind::Server, m_lists));
        const BOOL bRead = ReadList(FileListKind::Server);
        CloseListFile(FileListKind::Server);
        if (!bRead)
        {
            EXPECT_TRUE(GetList(FileListKind::Server).empty());
            EXPECT_NE(0u, GetListFileError(FileListKind::Server));
        }
        else
        {
            EXPECT_EQ(0u, GetListFileError(FileListKind::Server));
        }
        return bRead;
    }

    // Compares the list read with the installation's and checks the plan: the
    // marks the rule gives, and every mark that the copy accepts lies inside
    // the root under the entry's own name.
    void CompareAndCheckPlan(bool bWithReference = true) const
    {
        std::vector<std::wstring> expected;
        if (bWithReference)
        {
            expected = qvscomparetest::NestedScanTargets(
                GetList(FileListKind::Server), GetList(FileListKind::Client), m_root, m_release);
        }
        CompareLists();
        const FileList& plan = GetList(FileListKind::Server);
        if (bWithReference)
        {
            std::vector<std::wstring> targets;
            for (const auto& pEntry : plan)
            {
                targets.push_back(pEntry->target);
            }
            ASSERT_EQ(expected, targets);
        }
        for (const auto& pEntry : plan)
        {
            if (pEntry->target.empty() ||
                !SCFileIterator::CheckCopyDestination(m_root, pEntry->target, pEntry->name).empty())
            {
                continue;
            }
            const std::wstring joined = pEntry->target + pEntry->name;
            const std::string shown = qvstest::ToUtf8(joined.substr(0, 300));
            std::vector<wchar_t> full(joined.size() + MAX_PATH);
            const DWORD n = GetFullPathNameW(joined.c_str(), static_cast<DWORD>(full.size()),
                                             full.data(), nullptr);
            ASSERT_TRUE(n > 0 && n < full.size()) << shown;
            const std::wstring canonical(full.data(), n);
            EXPECT_TRUE(StartsWithNoCase(canonical, m_root + L"\\"))
                << "accepted outside the root: " << shown;
            EXPECT_TRUE(pEntry->name == canonical.substr(canonical.rfind(L'\\') + 1))
                << "the name changed: " << shown;
            EXPECT_EQ(std::wstring::npos, canonical.find(L':', 2)) << shown;
        }
    }

    // Runs the copy on the plan; nothing outside the root may change.
    void CopyAndCheckOutside()
    {
        const TreeState before = Outside();
        qvswalktest::MessageRecorder recorder;
        FileList& plan = GetList(FileListKind::Server);
        SCFileIterator::CopyFiles(&plan, &qvswalktest::RecordMessage, nullptr);
        m_lastMessages.clear();
        for (const std::wstring& message : recorder.messages)
        {
            m_lastMessages += qvstest::ToUtf8(message) + "\n";
        }
        const TreeState after = Outside();
        EXPECT_TRUE(before == after) << "the copy changed something outside the root";
        if (before != after)
        {
            for (const auto& [path, content] : after)
            {
                const auto it = before.find(path);
                if (it == before.end() || it->second != content)
                {
                    ADD_FAILURE() << "changed: " << qvstest::ToUtf8(path);
                }
            }
        }
    }

    TempDir m_sandbox;
    std::wstring m_root;
    std::wstring m_release;
    std::wstring m_lists;
    std::string m_lastMessages;
};

// ---- A corpus of malformed list files ----

enum class Expect
{
    Reads, // TRUE, with the given number of entries
    Fails, // FALSE, the list empty, ERROR_INVALID_DATA
};

struct Malformed
{
    const char* name;
    std::string bytes;
    Expect expect;
    size_t nEntries;
};

std::vector<Malformed> MalformedCorpus(const std::wstring& release)
{
    const std::wstring good = Line(release + L"\\bin\\", L"app.dll");
    std::wstring huge(kMaxListLineLength + 1, L'x');
    std::wstring longest(kMaxListLineLength, L'y');
    std::wstring manyFields;
    for (int i = 0; i < 300; ++i)
    {
        manyFields += L"f\t\t";
    }
    std::vector<Malformed> corpus = {
        {"empty file", "", Expect::Reads, 0},
        {"one good line", Bytes(good), Expect::Reads, 1},
        {"odd byte count", Bytes(good) + "x", Expect::Fails, 0},
        {"a single byte", "x", Expect::Fails, 0},
        {"no line end", Bytes(release + L"\\bin\\\t\tapp.dll\t\t" + kStamp), Expect::Reads, 1},
        {"no separators", Bytes(L"just some text\r\n"), Expect::Reads, 1},
        {"single tabs", Bytes(release + L"\\bin\\\tapp.dll\t" + kStamp + L"\r\n"), Expect::Reads,
         1},
        {"only separators", Bytes(L"\t\t\t\t\t\t\t\r\n"), Expect::Reads, 1},
        {"three hundred fields", Bytes(manyFields + L"\r\n"), Expect::Reads, 1},
        {"a line beyond the longest path", Bytes(huge + L"\r\n" + good), Expect::Fails, 0},
        {"the longest line", Bytes(longest + L"\r\n" + good), Expect::Reads, 2},
        {"a NUL in a name", Bytes(Line(release + L"\\bin\\", std::wstring(L"a\0b.dll", 7))),
         Expect::Fails, 0},
        {"a NUL at the end", Bytes(good) + std::string(2, '\0'), Expect::Fails, 0},
        {"lone high surrogate", Bytes(Line(release + L"\\bin\\", L"a\xD800.dll")), Expect::Reads,
         1},
        {"lone low surrogate", Bytes(Line(release + L"\\bin\\", L"\xDC00")), Expect::Reads, 1},
        {"reversed pair", Bytes(Line(release + L"\\\xDE00\xD83D\\", L"x.dll")), Expect::Reads, 1},
        {"noncharacters", Bytes(Line(release + L"\\bin\\", L"\xFFFF\xFFFE.dll")), Expect::Reads, 1},
        {"stamps out of range",
         Bytes(Line(release + L"\\bin\\", L"app.dll", L"99/99/99 99:99:99") +
               Line(release + L"\\bin\\", L"QVS.exe", L"00/00/00 00:00:00") +
               Line(release + L"\\bin\\", L"new.dll", L"31/12/99 23:59:60") +
               Line(release + L"\\", L"top.txt", L"-1/-1/-1 -1:-1:-1") +
               Line(release + L"\\bin\\sub\\", L"deep.dat", L"32/13/26 25:61:61")),
         Expect::Reads, 5},
        {"stamps of other forms",
         Bytes(Line(release + L"\\bin\\", L"app.dll", L"2026-01-10T12:00:00Z") +
               Line(release + L"\\bin\\", L"QVS.exe", L"") +
               Line(release + L"\\", L"top.txt", L"10/01/26 12:00:00 extra")),
         Expect::Reads, 3},
        {"empty lines", Bytes(L"\r\n\r\n" + good + L"\r\n\n\r"), Expect::Reads, 6},
        {"CR line ends", Bytes(L"a\t\tb\t\tc\rd\t\te\t\tf\r"), Expect::Reads, 2},
        {"LF line ends", Bytes(L"a\t\tb\t\tc\nd\t\te\t\tf\n"), Expect::Reads, 2},
        {"a byte-order mark", Bytes(L"\xFEFF" + good), Expect::Reads, 1},
        {"UTF-8 instead of UTF-16", "\\\\SRV\\Release\\bin\\\t\tapp.dll\t\t10/01/26 12:00:00\r\n",
         Expect::Reads, 1},
        {"big-endian UTF-16", std::string("\0a\0\t\0\t\0b\0\t\0\t\0c\0\r\0\n", 18), Expect::Reads,
         1},
        {"binary noise", std::string("\x4D\x5A\x90\x00\x03\x00\x00\x00\xFF\xFF\x0D\x0A", 12),
         Expect::Fails, 0},
    };
    return corpus;
}

// ---- Hostile entries ----

std::vector<std::wstring> HostileLines(const std::wstring& release, const std::wstring& root)
{
    const std::wstring bin = release + L"\\bin\\";
    return {
        Line(release + L"\\..\\", L"evil.dll"),          // target root\..\ .
        Line(release + L"\\bin\\..\\..\\", L"evil.dll"), //
        Line(release + L"\\..\\..\\..\\", L"evil.dll"),
        Line(bin, L"..\\evil.dll"),
        Line(bin, L"..\\..\\evil.dll"),
        Line(bin, L"../../evil.dll"),
        Line(bin, L"sub\\..\\..\\evil.dll"),
        Line(bin, L"C:\\evil.dll"),
        Line(bin, L"C:evil.dll"),
        Line(bin, L"\\evil.dll"),
        Line(bin, L"\\\\SRV01\\share\\evil.dll"),
        Line(bin, L"\\\\?\\C:\\evil.dll"),
        Line(bin, L"\\\\.\\PhysicalDrive0"),
        Line(bin, root + L"\\..\\evil.dll"),
        Line(bin, L"CON"),
        Line(bin, L"nul"),
        Line(bin, L"NUL.dll"),
        Line(bin, L"AUX.txt"),
        Line(bin, L"PRN"),
        Line(bin, L"COM1"),
        Line(bin, L"LPT9.log"),
        Line(bin, L"CONIN$"),
        Line(bin, L"CONOUT$"),
        Line(bin, L"app.dll:stream"),
        Line(bin, L"app.dll::$DATA"),
        Line(bin, L"app.dll:$I30:$INDEX_ALLOCATION"),
        Line(bin, L"app.dll."),
        Line(bin, L"app.dll "),
        Line(bin, L"."),
        Line(bin, L".."),
        Line(bin, L"*.dll"),
        Line(bin, L"a?.dll"),
        Line(bin, L"a|b"),
        Line(bin, L"a\x0001.dll"),
        Line(release + L"\\bin:stream\\", L"app.dll"),
        Line(release + L"\\CON\\", L"app.dll"),
        Line(release + L"\\bin\\.\\..\\", L"app.dll"),
        Line(release + L"\\bin/../../", L"app.dll"),
        Line(release + L"\\\\", L"top.txt"),
        Line(release + L"\\bin\\sub", L"x.dll"), // no final backslash: root\bin\subx.dll
        Line(L"C:\\", L"evil.dll"),
        Line(L"\\\\?\\C:\\", L"evil.dll"),
        Line(L"\\\\?\\UNC\\SRV01\\x\\", L"evil.dll"),
        Line(L"..\\..\\", L"evil.dll"),
        Line(L"\\\\SRV01\\", L"evil.dll"),
        Line(L"\\\\SRV01\\Release\\..\\..\\..\\", L"evil.dll"),
        Line(L"", L"evil.dll"),
        Line(root + L"\\..\\", L"evil.dll"),
        Line(root + L"2\\", L"evil.dll"),
        Line(bin, L"QVS.exe"), // an ordinary update among them
    };
}
} // namespace

TEST_F(HostileLists, MalformedFilesFailCleanlyOrGiveTheRulesPlan)
{
    for (const Malformed& item : MalformedCorpus(m_release))
    {
        SCOPED_TRACE(item.name);
        SetClientList();
        BOOL bRead = FALSE;
        try
        {
            bRead = Read(item.bytes);
            switch (item.expect)
            {
            case Expect::Reads:
                EXPECT_TRUE(bRead);
                EXPECT_EQ(item.nEntries, GetList(FileListKind::Server).size());
                break;
            case Expect::Fails:
                EXPECT_FALSE(bRead);
                EXPECT_EQ(ERROR_INVALID_DATA, GetListFileError(FileListKind::Server));
                break;
            }
            if (bRead)
            {
                CompareAndCheckPlan();
                CopyAndCheckOutside();
            }
        }
        catch (...)
        {
            ADD_FAILURE() << "an exception left the list code";
        }
    }
}

TEST_F(HostileLists, AMillionShortLinesAreReadAndCompared)
{
    std::wstring text;
    const size_t nLines = 1000000;
    text.reserve(nLines * 12);
    for (size_t i = 0; i < nLines; ++i)
    {
        text += L"\\\\S\\s\\x\\\t\t" + std::to_wstring(i % 1000) + L"\t\t\r\n";
    }
    ASSERT_TRUE(Read(Bytes(text)));
    ASSERT_EQ(nLines, GetList(FileListKind::Server).size());
    CompareAndCheckPlan(false);
    // Every entry is a new file of \\S\s\x\, so for root\x\.
    size_t nRefused = 0;
    for (const auto& pEntry : GetList(FileListKind::Server))
    {
        if (!SCFileIterator::CheckCopyDestination(m_root, pEntry->target, pEntry->name).empty())
        {
            ++nRefused;
        }
    }
    EXPECT_EQ(0u, nRefused);
    ClearList(FileListKind::Server);
}

TEST_F(HostileLists, HostileEntriesNeverWriteOutsideTheRoot)
{
    std::wstring text;
    const std::vector<std::wstring> lines = HostileLines(m_release, m_root);
    for (const std::wstring& line : lines)
    {
        text += line;
    }
    ASSERT_TRUE(Read(Bytes(text)));
    ASSERT_EQ(lines.size(), GetList(FileListKind::Server).size());
    CompareAndCheckPlan();
    // Each is refused by name, except the one ordinary update and the names that
    // stay inside the root after all.
    std::vector<std::wstring> accepted;
    for (const auto& pEntry : GetList(FileListKind::Server))
    {
        if (!pEntry->target.empty() &&
            SCFileIterator::CheckCopyDestination(m_root, pEntry->target, pEntry->name).empty())
        {
            accepted.push_back(pEntry->folder + L" -> " + pEntry->target + pEntry->name);
        }
    }
    std::string report;
    for (const std::wstring& item : accepted)
    {
        report += qvstest::ToUtf8(item) + "\n";
    }
    // Those that stay inside the root after all: the ordinary update, a
    // doubled backslash, and folders outside the release, which land below the root.
    EXPECT_EQ(6u, accepted.size()) << report;
    CopyAndCheckOutside();
    ASSERT_TRUE(qvstest::Exists(m_root + L"\\bin\\QVS.exe")) << m_lastMessages;
    EXPECT_EQ("release file", qvstest::ReadBytes(m_root + L"\\bin\\QVS.exe"));
    EXPECT_FALSE(qvstest::Exists(m_root + L"\\..\\evil.dll.new"));
    EXPECT_EQ("a file beside the sandbox's folders", qvstest::ReadBytes(m_sandbox / L"evil.dll"));
}

namespace
{
// ---- Mutation ----

std::atomic<uint64_t> g_nProgress{0};
std::atomic<uint32_t> g_nSeed{0};
std::atomic<bool> g_bWatching{false};

// Ends the test program when the mutation loop stops making progress, saying
// which seed and mutation it stopped at.
DWORD WINAPI Watchdog(LPVOID) noexcept
{
    uint64_t nLast = g_nProgress.load();
    int nStill = 0;
    while (g_bWatching.load())
    {
        Sleep(1000);
        const uint64_t nNow = g_nProgress.load();
        nStill = nNow == nLast ? nStill + 1 : 0;
        nLast = nNow;
        if (nStill >= 120)
        {
            std::fprintf(stderr, "hang: seed %u, mutation %llu (QVS_SEED=%u repeats it)\n",
                         g_nSeed.load(), static_cast<unsigned long long>(nNow), g_nSeed.load());
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    return 0;
}

std::wstring Mutate(const std::wstring& base, std::mt19937& rng,
                    const std::vector<std::wstring>& tokens)
{
    std::wstring text = base;
    const auto pos = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(rng); };
    const int nOps = std::uniform_int_distribution<int>(1, 6)(rng);
    for (int op = 0; op < nOps; ++op)
    {
        switch (std::uniform_int_distribution<int>(0, 6)(rng))
        {
        case 0: // replace one code unit by any value
            if (!text.empty())
            {
                text[pos(text.size() - 1)] =
                    static_cast<wchar_t>(std::uniform_int_distribution<int>(0, 0xFFFF)(rng));
            }
            break;
        case 1: // insert a token that means something to the format or the system
        case 2:
            text.insert(pos(text.size()), tokens[pos(tokens.size() - 1)]);
            break;
        case 3: // delete a range
            if (!text.empty())
            {
                const size_t at = pos(text.size() - 1);
                text.erase(at, pos(std::min<size_t>(80, text.size() - at)));
            }
            break;
        case 4: // repeat a range
            if (!text.empty())
            {
                const size_t at = pos(text.size() - 1);
                const std::wstring piece = text.substr(at, pos(120));
                text.insert(pos(text.size()), piece);
            }
            break;
        case 5: // replace a range by a token
            if (!text.empty())
            {
                const size_t at = pos(text.size() - 1);
                text.replace(at, pos(12), tokens[pos(tokens.size() - 1)]);
            }
            break;
        default: // swap two lines' halves
            if (text.size() > 2)
            {
                const size_t at = pos(text.size() - 2);
                std::swap_ranges(text.begin(), text.begin() + static_cast<ptrdiff_t>(at / 2),
                                 text.begin() + static_cast<ptrdiff_t>(at / 2));
            }
            break;
        }
    }
    return text;
}
} // namespace

TEST_F(HostileLists, TenThousandMutatedListsFailCleanlyOrGiveTheRulesPlan)
{
    uint32_t seed = static_cast<uint32_t>(GetTickCount64() ^ (GetCurrentProcessId() << 16));
    if (const wchar_t* fixed = _wgetenv(L"QVS_SEED"))
    {
        seed = static_cast<uint32_t>(wcstoul(fixed, nullptr, 10));
    }
    const uint64_t nMutations = LongRun() ? 200000 : 10000;
    std::printf("[ seed     ] %u (QVS_SEED=%u repeats this run)\n", seed, seed);
    std::fflush(stdout);
    g_nSeed = seed;
    g_nProgress = 0;
    g_bWatching = true;
    UniqueKernelHandle watchdog(CreateThread(nullptr, 0, &Watchdog, nullptr, 0, nullptr));

    std::wstring base;
    base += Line(m_release + L"\\bin\\", L"app.dll");
    base += Line(m_release + L"\\bin\\", L"new.dll");
    base += Line(m_release + L"\\bin\\sub\\", L"deep.dat");
    base += Line(m_release + L"\\", L"top.txt", L"31/12/79 23:59:59");
    for (const std::wstring& line : HostileLines(m_release, m_root))
    {
        base += line;
    }
    const std::vector<std::wstring> tokens = {L"\t\t",
                                              L"\t",
                                              L"\r\n",
                                              L"\r",
                                              L"\n",
                                              std::wstring(1, L'\0'),
                                              L"\xD800",
                                              L"\xDC00",
                                              L"\xFEFF",
                                              L"\xFFFF",
                                              L"\\",
                                              L"/",
                                              L":",
                                              L".",
                                              L"..",
                                              L"..\\",
                                              L"\\..\\",
                                              L"CON",
                                              L"nul",
                                              L"COM1",
                                              L"*",
                                              L"?",
                                              L" ",
                                              L"C:\\",
                                              L"\\\\",
                                              L"\\\\?\\",
                                              L"::$DATA",
                                              m_root,
                                              m_root + L"\\",
                                              m_release,
                                              m_release + L"\\",
                                              L"~QVSCopy-1-1.tmp",
                                              L"QVSCliUpdate.log",
                                              kStamp,
                                              L"99/99/99 99:99:99",
                                              std::wstring(300, L'a'),
                                              std::wstring(kMaxListLineLength, L'b')};

    std::mt19937 rng(seed);
    uint64_t nRead = 0;
    uint64_t nCopies = 0;
    for (uint64_t i = 0; i < nMutations; ++i)
    {
        g_nProgress = i;
        std::wstring text = Mutate(base, rng, tokens);
        std::string bytes = Bytes(text);
        if (rng() % 16 == 0 && !bytes.empty())
        {
            bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng));
        }
        SetClientList();
        try
        {
            const BOOL bRead = Read(bytes);
            if (bRead)
            {
                ++nRead;
                CompareAndCheckPlan();
                if (i % 200 == 0)
                {
                    ++nCopies;
                    CopyAndCheckOutside();
                }
            }
        }
        catch (...)
        {
            ADD_FAILURE() << "an exception left the list code";
        }
        if (HasFailure())
        {
            ADD_FAILURE() << "seed " << seed << ", mutation " << i << " (QVS_SEED=" << seed
                          << " repeats it)";
            break;
        }
    }
    g_bWatching = false;
    WaitForSingleObject(watchdog.get(), 5000);
    // Most mutations must still be lists, so that the comparison and the copy
    // were really exercised, and some must not be.
    EXPECT_GT(nRead, nMutations / 2);
    EXPECT_LT(nRead, nMutations);
    EXPECT_GE(nCopies, 10u);
}
