// File lists: the list-file format, the two slots, reading and writing, and what
// a list file that is not in the format does.
#include "lib/File.h"

#include "framework/AfxWnd.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using qvstest::Raises;
using qvstest::TempDir;
using qvstest::Utf16Bytes;

namespace
{
struct Fields
{
    std::wstring folder;
    std::wstring name;
    std::wstring modified;
    bool operator==(const Fields&) const = default;
};

void PrintTo(const Fields& f, std::ostream* os)
{
    *os << "{" << qvstest::ToUtf8(f.folder) << " | " << qvstest::ToUtf8(f.name) << " | "
        << qvstest::ToUtf8(f.modified) << "}";
}

std::vector<Fields> ListFields(FileListKind kind)
{
    std::vector<Fields> fields;
    for (const auto& pEntry : GetList(kind))
    {
        fields.push_back({pEntry->folder, pEntry->name, pEntry->modified});
    }
    return fields;
}

std::unique_ptr<FileListEntry> MakeEntry(std::wstring folder, std::wstring name,
                                         std::wstring modified)
{
    auto pEntry = std::make_unique<FileListEntry>();
    pEntry->folder = std::move(folder);
    pEntry->name = std::move(name);
    pEntry->modified = std::move(modified);
    return pEntry;
}

// Rewrites a file that another handle keeps open for shared reading.
bool OverwriteShared(const std::wstring& path, const std::wstring& text)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    DWORD n = 0;
    const bool bWritten =
        WriteFile(h, text.data(), static_cast<DWORD>(text.size() * 2), &n, nullptr) &&
        SetEndOfFile(h);
    CloseHandle(h);
    return bWritten;
}

class FileLists : public testing::Test
{
protected:
    void TearDown() override
    {
        for (FileListKind kind : {FileListKind::Server, FileListKind::Client})
        {
            CloseListFile(kind);
            ClearList(kind);
        }
    }

    // Reads text as the server list of the temporary folder.
    BOOL ReadServerText(const std::wstring& text)
    {
        CloseListFile(FileListKind::Server);
        qvstest::WriteUtf16(m_dir / kServerListName, text);
        EXPECT_TRUE(OpenListFile(FileListKind::Server, m_dir.path()));
        return ReadList(FileListKind::Server);
    }

    BOOL ReadServerBytes(const std::string& bytes)
    {
        CloseListFile(FileListKind::Server);
        qvstest::WriteBytes(m_dir / kServerListName, bytes);
        EXPECT_TRUE(OpenListFile(FileListKind::Server, m_dir.path()));
        return ReadList(FileListKind::Server);
    }

    std::wstring ClientPath() const { return m_dir / kClientListName; }

    TempDir m_dir;
};

// A window whose text box appends are recorded.
class RecordingWnd : public CWnd
{
public:
    void AppendDlgItemText(int nID, const std::wstring& strText) override
    {
        appends.emplace_back(nID, strText);
    }
    std::vector<std::pair<int, std::wstring>> appends;
};
} // namespace

// ---- The line splitter and line ends ----

TEST_F(FileLists, SplitsLinesAndEndsThemAsTheFormatSays)
{
    const struct
    {
        const wchar_t* pszCase;
        std::wstring text;
        std::vector<Fields> list; // newest first: the last line at the front
    } kCases[] = {
        {L"three fields", L"a\t\tb\t\tc\r\n", {{L"a", L"b", L"c"}}},
        {L"a fourth field drops the third", L"a\t\tb\t\tc\t\td\r\n", {{L"a", L"b", L"d"}}},
        {L"three TABs in a row", L"a\t\t\tb\r\n", {{L"a", L"", L"b"}}},
        {L"four TABs in a row", L"a\t\t\t\tb\r\n", {{L"a", L"", L"b"}}},
        {L"single TABs are text", L"a\tx\t\tb\tc\t\td\te\r\n", {{L"a\tx", L"b\tc", L"d\te"}}},
        {L"fewer than two separators",
         L"only\r\nf\t\tm\r\n",
         {{L"f", L"", L"m"}, {L"", L"", L"only"}}},
        {L"CR alone takes the next code unit with it",
         L"a\t\tb\t\tc\rXd\t\te\t\tf\r",
         {{L"d", L"e", L"f"}, {L"a", L"b", L"c"}}},
        {L"CR CR LF: the LF ends an empty line",
         L"a\t\tb\t\tc\r\r\n",
         {{L"", L"", L""}, {L"a", L"b", L"c"}}},
        {L"LF alone", L"a\t\tb\t\tc\nd\t\te\t\tf\n", {{L"d", L"e", L"f"}, {L"a", L"b", L"c"}}},
        {L"a last line without line end",
         L"a\t\tb\t\tc\r\nd\t\te\t\tf",
         {{L"d", L"e", L"f"}, {L"a", L"b", L"c"}}},
        {L"an empty line", L"a\t\tb\t\tc\r\n\r\n", {{L"", L"", L""}, {L"a", L"b", L"c"}}},
        {L"an empty file", L"", {}},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(qvstest::ToUtf8(c.pszCase));
        GetList(FileListKind::Server).push_back(MakeEntry(L"old", L"old", L"old"));
        ASSERT_TRUE(ReadServerText(c.text));
        EXPECT_EQ(c.list, ListFields(FileListKind::Server));
        for (const auto& pEntry : GetList(FileListKind::Server))
        {
            EXPECT_TRUE(pEntry->target.empty());
        }
        EXPECT_EQ(0u, GetListFileError(FileListKind::Server));
    }
}

// ---- Order, reading and writing ----

TEST_F(FileLists, ReadThenWriteReversesTheOrder)
{
    qvstest::WriteUtf16(ClientPath(), L"L1\t\tn1\t\tm1\r\nL2\t\tn2\t\tm2\r\nL3\t\tn3\t\tm3\r\n");
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    ASSERT_TRUE(ReadList(FileListKind::Client));
    EXPECT_EQ(
        (std::vector<Fields>{{L"L3", L"n3", L"m3"}, {L"L2", L"n2", L"m2"}, {L"L1", L"n1", L"m1"}}),
        ListFields(FileListKind::Client));
    TruncateListFile(FileListKind::Client);
    ASSERT_TRUE(WriteList(FileListKind::Client));
    CloseListFile(FileListKind::Client);
    EXPECT_EQ(L"L3\t\tn3\t\tm3\r\nL2\t\tn2\t\tm2\r\nL1\t\tn1\t\tm1\r\n",
              qvstest::ReadUtf16(ClientPath()));
}

TEST_F(FileLists, WriteAppendsToWhatTheFileHolds)
{
    qvstest::WriteUtf16(ClientPath(), L"old\t\tx\t\ty\r\n");
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    ASSERT_TRUE(
        AddListEntry(FileListKind::Client, MakeEntry(L"C:\\a\\", L"1.dll", L"s1"), nullptr));
    ASSERT_TRUE(
        AddListEntry(FileListKind::Client, MakeEntry(L"C:\\b\\", L"2.dll", L"s2"), nullptr));
    ASSERT_TRUE(WriteList(FileListKind::Client));
    CloseListFile(FileListKind::Client);
    // The old line stays; new lines follow, the last added first.
    EXPECT_EQ(L"old\t\tx\t\ty\r\nC:\\b\\\t\t2.dll\t\ts2\r\nC:\\a\\\t\t1.dll\t\ts1\r\n",
              qvstest::ReadUtf16(ClientPath()));
}

TEST_F(FileLists, TheFileIsUtf16WithoutByteOrderMark)
{
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    ASSERT_TRUE(AddListEntry(
        FileListKind::Client,
        MakeEntry(L"\\\\SRV01\\Release\\bin\\", L"app.dll", L"04/12/26 21:59:45"), nullptr));
    ASSERT_TRUE(WriteList(FileListKind::Client));
    CloseListFile(FileListKind::Client);
    EXPECT_EQ(Utf16Bytes(L"\\\\SRV01\\Release\\bin\\\t\tapp.dll\t\t04/12/26 21:59:45\r\n"),
              qvstest::ReadBytes(ClientPath()));
}

TEST_F(FileLists, ManyLinesSurviveWriteAndRead)
{
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    for (int i = 0; i < 5000; ++i)
    {
        AddListEntry(FileListKind::Client,
                     MakeEntry(L"C:\\Client\\dir" + std::to_wstring(i % 37) + L"\\",
                               L"file" + std::to_wstring(i) + L".dll", L"01/02/03 04:05:06"),
                     nullptr);
    }
    const std::vector<Fields> written = ListFields(FileListKind::Client);
    ASSERT_TRUE(WriteList(FileListKind::Client));
    ASSERT_TRUE(ReadList(FileListKind::Client));
    std::vector<Fields> read = ListFields(FileListKind::Client);
    ASSERT_EQ(written.size(), read.size());
    EXPECT_EQ(std::vector<Fields>(written.rbegin(), written.rend()), read);
}

TEST_F(FileLists, NamesOutsideTheAnsiCodePageRoundTrip)
{
    // Greek, CJK, an emoji as a surrogate pair, a lone surrogate that NTFS allows,
    // and characters that Windows-1252 maps to other bytes.
    const std::vector<Fields> names = {
        {L"C:\\\x0394\x03B9\x03B1\x03C6\\", L"\x03B1\x03C1\x03C7\x03B5\x03AF\x03BF.dll",
         L"01/01/26 00:00:00"},
        {L"C:\\\x6587\x4EF6\\", L"\x6D4B\x8BD5.exe", L"02/01/26 00:00:00"},
        {L"C:\\emoji\\", L"\xD83D\xDE00 smile.txt", L"03/01/26 00:00:00"},
        {L"C:\\odd\\", L"lone\xD800.bin", L"04/01/26 00:00:00"},
        {L"C:\\\x20AC\\", L"\x0152\x2122\x00FF.txt", L"05/01/26 00:00:00"},
    };
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    for (const auto& f : names)
    {
        AddListEntry(FileListKind::Client, MakeEntry(f.folder, f.name, f.modified), nullptr);
    }
    ASSERT_TRUE(WriteList(FileListKind::Client));
    ClearList(FileListKind::Client);
    ASSERT_TRUE(ReadList(FileListKind::Client));
    // Written newest first and read back in reverse: the order they were added.
    EXPECT_EQ(names, ListFields(FileListKind::Client));
}

// ---- Opening ----

TEST_F(FileLists, FolderWithAndWithoutTrailingBackslashOpenTheSameFile)
{
    qvstest::WriteUtf16(ClientPath(), L"x\t\ty\t\tz\r\n");
    for (const std::wstring& folder : {m_dir.path(), m_dir.path() + L"\\"})
    {
        ASSERT_TRUE(OpenListFile(FileListKind::Client, folder));
        ASSERT_TRUE(ReadList(FileListKind::Client));
        EXPECT_EQ((std::vector<Fields>{{L"x", L"y", L"z"}}), ListFields(FileListKind::Client));
        CloseListFile(FileListKind::Client);
    }
}

TEST_F(FileLists, TheClientListIsCreatedWhenMissingAndNotShared)
{
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    EXPECT_TRUE(qvstest::Exists(ClientPath()));
    HANDLE h = CreateFileW(ClientPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD dwError = GetLastError();
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), dwError);
    if (h != INVALID_HANDLE_VALUE)
    {
        CloseHandle(h);
    }
}

TEST_F(FileLists, TheServerListIsOpenedReadOnlyAndShared)
{
    qvstest::WriteUtf16(m_dir / kServerListName, L"a\t\tb\t\tc\r\n");
    ASSERT_TRUE(OpenListFile(FileListKind::Server, m_dir.path() + L"\\"));
    // Others may still write the release's list.
    ASSERT_TRUE(OverwriteShared(m_dir / kServerListName, L"d\t\te\t\tf\r\n"));
    ASSERT_TRUE(ReadList(FileListKind::Server));
    EXPECT_EQ((std::vector<Fields>{{L"d", L"e", L"f"}}), ListFields(FileListKind::Server));
    // This program never writes it.
    EXPECT_FALSE(WriteList(FileListKind::Server));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetListFileError(FileListKind::Server));
    EXPECT_EQ(Utf16Bytes(L"d\t\te\t\tf\r\n"), qvstest::ReadBytes(m_dir / kServerListName));
}

TEST_F(FileLists, AMissingServerListIsNoRaiseButFalseWithTheReason)
{
    qvstest::EventRecorder recorder;
    EXPECT_FALSE(OpenListFile(FileListKind::Server, m_dir.path()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetListFileError(FileListKind::Server));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(OpenListFile(FileListKind::Server, m_dir / L"gone"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetListFileError(FileListKind::Server));
    EXPECT_TRUE(recorder.events.empty());
    // Reading a slot whose file did not open fails too.
    EXPECT_FALSE(ReadList(FileListKind::Server));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetListFileError(FileListKind::Server));
    // After a success the error is cleared.
    CloseListFile(FileListKind::Server);
    qvstest::WriteUtf16(m_dir / kServerListName, L"");
    EXPECT_TRUE(OpenListFile(FileListKind::Server, m_dir.path()));
    EXPECT_EQ(0u, GetListFileError(FileListKind::Server));
}

TEST_F(FileLists, EmptyFolderAndInvalidKindsFail)
{
    qvstest::EventRecorder recorder;
    EXPECT_FALSE(OpenListFile(FileListKind::Client, L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetListFileError(FileListKind::Client));
    for (int nKind : {2, -1, 7})
    {
        const auto kind = static_cast<FileListKind>(nKind);
        EXPECT_FALSE(OpenListFile(kind, m_dir.path()));
        EXPECT_FALSE(ReadList(kind));
        EXPECT_FALSE(WriteList(kind));
        EXPECT_FALSE(AddListEntry(kind, MakeEntry(L"a", L"b", L"c"), nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetListFileError(kind));
        CloseListFile(kind); // nothing to do, nothing raised
        ClearList(kind);
        EXPECT_TRUE(Raises<SCException>([&] { TruncateListFile(kind); }));
        EXPECT_TRUE(Raises<SCException>([&] { GetList(kind); }));
    }
    EXPECT_FALSE(qvstest::Exists(m_dir / kServerListName));
    EXPECT_FALSE(qvstest::Exists(ClientPath()));
    // Uncoded raises: nothing in the event log.
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(FileLists, TruncateEmptiesTheFile)
{
    qvstest::WriteUtf16(ClientPath(), L"a\t\tb\t\tc\r\n");
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    TruncateListFile(FileListKind::Client);
    CloseListFile(FileListKind::Client);
    EXPECT_EQ("", qvstest::ReadBytes(ClientPath()));
}

TEST_F(FileLists, WriteToAClosedSlotFails)
{
    AddListEntry(FileListKind::Client, MakeEntry(L"a", L"b", L"c"), nullptr);
    EXPECT_FALSE(WriteList(FileListKind::Client));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetListFileError(FileListKind::Client));
}

// ---- Adding entries ----

TEST_F(FileLists, AddPutsEntriesInFrontAndShowsTheirLineInTheTextBox)
{
    RecordingWnd wnd;
    ASSERT_TRUE(AddListEntry(FileListKind::Client, MakeEntry(L"C:\\x\\", L"a.dll", L"s1"), &wnd));
    ASSERT_TRUE(
        AddListEntry(FileListKind::Client, MakeEntry(L"C:\\y\\", L"b.dll", L"s2"), nullptr));
    EXPECT_EQ((std::vector<Fields>{{L"C:\\y\\", L"b.dll", L"s2"}, {L"C:\\x\\", L"a.dll", L"s1"}}),
              ListFields(FileListKind::Client));
    ASSERT_EQ(1u, wnd.appends.size());
    EXPECT_EQ(1000, wnd.appends[0].first);
    EXPECT_EQ(L"C:\\x\\\t\ta.dll\t\ts1\r\n", wnd.appends[0].second);
    EXPECT_FALSE(AddListEntry(FileListKind::Client, nullptr, &wnd));
    EXPECT_EQ(1u, wnd.appends.size());
}

TEST_F(FileLists, AddAppendsToARealTextBox)
{
    HWND hParent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                                   nullptr, nullptr);
    ASSERT_NE(nullptr, hParent);
    HWND hEdit = CreateWindowExW(
        0, L"EDIT", L"before\r\n", WS_CHILD | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL, 0, 0,
        50, 50, hParent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(1000)), nullptr, nullptr);
    ASSERT_NE(nullptr, hEdit);
    CWnd wnd;
    wnd.m_hWnd = hParent;
    ASSERT_TRUE(
        AddListEntry(FileListKind::Client, MakeEntry(L"C:\\x\\", L"\x03B1.dll", L"s"), &wnd));
    EXPECT_EQ(L"before\r\nC:\\x\\\t\t\x03B1.dll\t\ts\r\n", wnd.GetDlgItemText(1000));
    // A window without the text box shows nothing and the entry is still added.
    CWnd bare;
    bare.m_hWnd = hEdit;
    EXPECT_TRUE(AddListEntry(FileListKind::Client, MakeEntry(L"a", L"b", L"c"), &bare));
    EXPECT_EQ(2u, GetList(FileListKind::Client).size());
    wnd.m_hWnd = nullptr;
    bare.m_hWnd = nullptr;
    DestroyWindow(hParent);
}

TEST(FileListLine, IsTheFilesLineForm)
{
    FileListEntry entry;
    entry.folder = L"\\\\SRV01\\Release\\bin\\";
    entry.target = L"ignored";
    entry.name = L"app.dll";
    entry.modified = L"04/12/26 21:59:45";
    EXPECT_EQ(L"\\\\SRV01\\Release\\bin\\\t\tapp.dll\t\t04/12/26 21:59:45\r\n",
              FormatListLine(entry));
}

// ---- Files that are not lists ----

TEST_F(FileLists, AFileThatIsNotAListFailsAndLeavesTheListEmpty)
{
    const std::wstring longest = L"C:\\" + std::wstring(kMaxListLineLength - 3 - 4 - 17, L'd') +
                                 L"\t\t\t\t01/02/03 04:05:06";
    ASSERT_EQ(kMaxListLineLength, longest.size());
    const struct
    {
        const char* pszCase;
        std::string bytes;
    } kCases[] = {
        {"an odd number of bytes", Utf16Bytes(L"a\t\tb\t\tc\r\nd\t\te\t\tf\r\n") + "x"},
        {"a single byte", "a"},
        {"half a code unit after CR", Utf16Bytes(L"a\t\tb\t\tc\r") + "x"},
        {"a line one longer than the longest",
         Utf16Bytes(L"a\t\tb\t\tc\r\n" + longest + L"x\r\nd\t\te\t\tf\r\n")},
        {"an overlong last line without line end",
         Utf16Bytes(std::wstring(kMaxListLineLength + 1, L'x'))},
        {"a null code unit",
         Utf16Bytes(std::wstring(L"a\t\tb\t\tc\r\nd\t\te", 13) + L'\0' + L"\t\tf\r\n")},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszCase);
        GetList(FileListKind::Server).push_back(MakeEntry(L"old", L"old", L"old"));
        SetLastError(0);
        EXPECT_FALSE(ReadServerBytes(c.bytes));
        EXPECT_TRUE(GetList(FileListKind::Server).empty());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetListFileError(FileListKind::Server));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    }
    // The longest line itself is read.
    ASSERT_TRUE(ReadServerText(L"a\t\tb\t\tc\r\n" + longest + L"\r\n"));
    ASSERT_EQ(2u, GetList(FileListKind::Server).size());
    EXPECT_EQ(longest.size() - 21, GetList(FileListKind::Server).front()->folder.size());
    EXPECT_EQ(0u, GetListFileError(FileListKind::Server));
}

TEST_F(FileLists, AFormatErrorOfTheFrameworkIsRecordedAsAWarning)
{
    qvstest::EventRecorder recorder;
    EXPECT_FALSE(ReadServerBytes("odd"));
    ASSERT_EQ(1u, recorder.events.size());
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, recorder.events[0].type);
    EXPECT_NE(std::wstring::npos, recorder.events[0].strings[0].find(kServerListName));
    // A null is found by the list itself: an uncoded raise, not recorded.
    EXPECT_FALSE(ReadServerText(std::wstring(L"a\0", 2)));
    EXPECT_EQ(1u, recorder.events.size());
}

TEST_F(FileLists, AFailedReadChangesNothingElse)
{
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    AddListEntry(FileListKind::Client, MakeEntry(L"C:\\", L"kept", L"s"), nullptr);
    EXPECT_FALSE(ReadServerBytes("odd"));
    EXPECT_EQ((std::vector<Fields>{{L"C:\\", L"kept", L"s"}}), ListFields(FileListKind::Client));
    EXPECT_EQ(0u, GetListFileError(FileListKind::Client));
    EXPECT_EQ("odd", qvstest::ReadBytes(m_dir / kServerListName));
}

TEST_F(FileLists, EntriesThatCouldNotBeReadBackAreNotWritten)
{
    qvstest::WriteUtf16(ClientPath(), L"old\t\tx\t\ty\r\n");
    ASSERT_TRUE(OpenListFile(FileListKind::Client, m_dir.path()));
    for (const auto& bad :
         {MakeEntry(L"C:\\", L"a\r\nb", L"s"), MakeEntry(L"C:\\", L"a", L"s\n"),
          MakeEntry(std::wstring(L"C:\\\0", 4), L"a", L"s"),
          MakeEntry(L"C:\\" + std::wstring(kMaxListLineLength, L'd'), L"a", L"s")})
    {
        ClearList(FileListKind::Client);
        AddListEntry(FileListKind::Client, MakeEntry(L"C:\\", L"good", L"s"), nullptr);
        GetList(FileListKind::Client).push_back(std::make_unique<FileListEntry>(*bad));
        EXPECT_FALSE(WriteList(FileListKind::Client));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetListFileError(FileListKind::Client));
    }
    CloseListFile(FileListKind::Client);
    EXPECT_EQ(L"old\t\tx\t\ty\r\n", qvstest::ReadUtf16(ClientPath()));
}
