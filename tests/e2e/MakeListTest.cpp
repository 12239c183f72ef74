// QVSMakeList.exe as an administrator runs it (the scenarios publish every release
// with it): the folders it refuses, a file it cannot read, the leftovers of
// stopped runs.
#include "lib/BlockIndex.h"
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
struct Output
{
    DWORD exitCode;
    std::wstring out;
    std::wstring err;
};

Output MakeList(const std::wstring& arguments)
{
    Program::Options options;
    options.capture = true;
    Program tool(L"\"" + ExeFolder() + L"QVSMakeList.exe\" " + arguments, options);
    const DWORD exitCode = tool.Wait();
    return {exitCode, tool.out(), tool.err()};
}
class PublishedAs : public Scenario
{
};
class IndexFolder : public Scenario
{
};
} // namespace

TEST(MakeList, RefusesWhatCannotBeAReleaseAndKeepsTheOldListWhenAFileCannotBeRead)
{
    TempDir dir;
    const std::wstring release = dir / L"Release";
    const std::wstring list = release + L"\\HotUpdateFileList_Server.txt";
    WriteBytes(release + L"\\a.txt", "a");
    const struct
    {
        std::wstring arguments;
        DWORD exitCode;
        const wchar_t* says;
    } refused[] = {
        {L"\"" + release + L"\\missing\"", 2, L"cannot be found"},
        {L"C:\\", 1, L"root folder of its drive"},
        {L"\\\\SRV01\\Release", 1, L"not a path on a local drive"},
        {L"--bogus \"" + release + L"\"", 1, L"unknown option --bogus"},
        // --published-as takes a UNC path to a share or below it (tests/unit: the rules).
        {L"--published-as", 1, L"--published-as needs a value"},
        {L"--published-as \\\\srv\\apps\\..\\Release \"" + release + L"\"", 1,
         L"--published-as \"\\\\srv\\apps\\..\\Release\" is not a UNC path \\\\server\\share[\\...]: "
         L"it holds the element \"..\"."},
    };
    for (const auto& c : refused)
    {
        const Output run = MakeList(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << ToUtf8(c.arguments);
        EXPECT_NE(std::wstring::npos, run.err.find(c.says)) << ToUtf8(run.err);
        EXPECT_EQ(L"", run.out);
        EXPECT_FALSE(Exists(list));
    }

    // A file it cannot read: exit code 3, the file named, the old list kept.
    const std::wstring old = L"\\\\SRV01\\Release\\\t\ta.txt\t\t01/01/20 00:00:00\r\n";
    WriteUtf16(list, old);
    WriteBytes(release + L"\\locked.dll", "l");
    {
        const UniqueFile held(CreateFileW((release + L"\\locked.dll").c_str(), GENERIC_READ, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        const Output run = MakeList(L"\"" + release + L"\"");
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_NE(std::wstring::npos, run.err.find(L"locked.dll")) << ToUtf8(run.err);
    }
    EXPECT_EQ(old, ReadUtf16(list));
    EXPECT_FALSE(Exists(release + L"\\HotUpdateFileList_Server.sha256"));

    // Readable again: the list replaces the old one; the temporary files of a
    // stopped run and of a stopped copy are neither left nor listed.
    WriteBytes(release + L"\\~QVSMakeList-fffffff1.tmp", "half a list");
    WriteBytes(release + L"\\bin\\~QVSCopy-fffffff1-3.tmp", "half a copy");
    WriteBytes(release + L"\\bin\\~QVSMakeList-fffffff1-2.tmp", "half a copy of --from");
    const Output run = MakeList(L"\"" + release + L"\"");
    EXPECT_EQ(0u, run.exitCode) << ToUtf8(run.err);
    const std::wstring source = L"\\\\" + ComputerName() + release.substr(2);
    EXPECT_NE(std::wstring::npos, run.out.find(L"2 files in 2 folders")) << ToUtf8(run.out);
    EXPECT_NE(std::wstring::npos, run.out.find(L"(SourceFolder=" + source + L")")) << ToUtf8(run.out);
    EXPECT_FALSE(Exists(release + L"\\~QVSMakeList-fffffff1.tmp"));
    EXPECT_FALSE(Exists(release + L"\\bin\\~QVSMakeList-fffffff1-2.tmp"));
    const std::wstring text = ReadUtf16(list);
    EXPECT_EQ(0u, text.find(source + L"\\\t\t")) << ToUtf8(text);
    EXPECT_NE(std::wstring::npos, text.find(L"\t\tlocked.dll\t\t")) << ToUtf8(text);
    EXPECT_NE(std::wstring::npos, text.find(L"\t\ta.txt\t\t")) << ToUtf8(text);
    EXPECT_EQ(std::wstring::npos, text.find(L"~QVS")) << ToUtf8(text);
    EXPECT_TRUE(Exists(release + L"\\HotUpdateFileList_Server.sha256"));
}

// The release's server moves, or is reached through a DFS namespace: published
// --published-as another name (a trailing backslash dropped), the lists name that
// name, and a client whose SourceFolder is that name updates through it.
TEST_F(PublishedAs, ClientsUpdateThroughTheNameTheReleaseIsPublishedAs)
{
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    ExpectUpdate({{L"bin\\app.dll"}});

    const wchar_t* alias = _wgetenv(L"QVS_ALIAS_SHARE");
    ASSERT_NE(nullptr, alias) << "run the tests through scripts/test";
    // Another spelling of case than the mapping's: server names know no case.
    const std::wstring moved = Upper(alias) + L"\\" + rel.name();
    ASSERT_NE(L"\\\\" + Upper(ComputerName()), Upper(alias));
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 2, 1));
    rel.Put(L"data\\new.txt", "new 2", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish({}, moved + L"\\"));
    EXPECT_NE(std::wstring::npos, rel.published().find(L"(SourceFolder=" + moved + L")\r\n"))
        << ToUtf8(rel.published());
    const std::wstring list = ReadUtf16(rel.Path(L"HotUpdateFileList_Server.txt"));
    EXPECT_EQ(0u, list.find(moved + L"\\")) << ToUtf8(list);
    EXPECT_EQ(std::wstring::npos, list.find(L"\\\\" + ComputerName() + L"\\")) << ToUtf8(list);
    // The client's SourceFolder moves to the new name: it copies through it, each
    // copy still checked against the record (no "not verified" line).
    inst.Configure(moved);
    ExpectUpdate({{L"bin\\app.dll"}, {L"data\\new.txt"}});
    ExpectClientOnly();
}

// Double-clicked in Explorer (no arguments): the directory chooser, titled "Open",
// shows only its folder and drive lists; Cancel ends it without a list (exit code
// 5); OK publishes the folder it is in and shows the summary in a message box.
TEST(MakeList, WithoutArgumentsTheChooserAsksForTheFolder)
{
    TempDir dir;
    const std::wstring release = dir / L"Release";
    WriteBytes(release + L"\\bin\\a.dll", "a");
    const std::wstring list = release + L"\\HotUpdateFileList_Server.txt";
    Program::Options options;
    options.currentDir = release;
    const auto press = [](HWND hWnd, int nId)
    {
        PostMessageW(hWnd, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hWnd, nId)));
    };
    for (const int nButton : {IDCANCEL, IDOK})
    {
        SCOPED_TRACE(nButton == IDOK ? "OK" : "Cancel");
        Program tool(L"\"" + ExeFolder() + L"QVSMakeList.exe\"", options);
        const HWND hChooser = tool.Window(L"#32770");
        ASSERT_NE(nullptr, hChooser);
        wchar_t caption[64] = {};
        GetWindowTextW(hChooser, caption, 64);
        EXPECT_STREQ(L"Open", caption);
        // The folder list (1121), the current folder (1088), the drive list (1137)
        // and their labels are shown; the file name, file list and type parts not.
        const auto shown = [hChooser](int nId) { return IsWindowVisible(GetDlgItem(hChooser, nId)) != FALSE; };
        for (const int nId : {1121, 1088, 1137, 2361, 1091, IDOK, IDCANCEL})
        {
            EXPECT_TRUE(shown(nId)) << nId;
        }
        for (const int nId : {1090, 1152, 1120, 1089, 1136, 1038, 1040})
        {
            EXPECT_FALSE(shown(nId)) << nId;
        }
        press(hChooser, nButton);
        if (nButton == IDCANCEL)
        {
            EXPECT_EQ(5u, tool.Wait());
            EXPECT_FALSE(Exists(list));
            continue;
        }
        const HWND hBox = tool.Window(L"#32770", L"QVSMakeList");
        ASSERT_NE(nullptr, hBox);
        wchar_t text[1024] = {};
        GetDlgItemTextW(hBox, 0xFFFF, text, 1024);
        const std::wstring source = L"\\\\" + ComputerName() + release.substr(2);
        EXPECT_NE(nullptr, wcsstr(text, L"1 files in 2 folders")) << ToUtf8(text);
        EXPECT_NE(nullptr, wcsstr(text, (L"(SourceFolder=" + source + L")").c_str())) << ToUtf8(text);
        press(hBox, IDOK);
        EXPECT_EQ(0u, tool.Wait());
        EXPECT_EQ(0u, ReadUtf16(list).find(source + L"\\bin\\\t\ta.dll\t\t"));
    }
}

TEST_F(IndexFolder, MadeALinkToAFolderElsewhereItIsRefusedAndLosesNothingThere)
{
    // Anyone who can write the release folder can make the index folder a link to
    // the administrator's build folder, which publishing would clear of every file
    // that is no index.
    const TempDir elsewhere(_wgetenv(L"QVS_UNC_LOCAL"));
    WriteBytes(elsewhere / L"build.dll", "the administrator's");
    ASSERT_TRUE(MakeUnixLink(rel.local(), kBlockIndexFolder, HostPath(elsewhere.path())));
    rel.Put(L"data\\big.dat", Content(2u << 20, "v1"), T(2026, 1, 10));
    EXPECT_EQ(3u, rel.Publish());
    EXPECT_NE(std::wstring::npos,
              rel.published().find(L"cannot index: " + rel.local() + L"\\" + kBlockIndexFolder +
                                   L" (a link to another folder"))
        << ToUtf8(rel.published());
    EXPECT_EQ("the administrator's", ReadBytes(elsewhere / L"build.dll"));
    std::wstring names;
    ForEachEntry(elsewhere.path(), [&](const WIN32_FIND_DATAW& fd) { names += fd.cFileName + std::wstring(L" "); });
    EXPECT_EQ("build.dll ", ToUtf8(names));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(rel.Path(L"HotUpdateFileList_Server.txt").c_str()));
    // The link removed, the release publishes with an index folder of its own.
    RemoveUnixLink(rel.local(), kBlockIndexFolder);
    ASSERT_EQ(0u, rel.Publish());
    ExpectUpdate({{L"data\\big.dat"}});
}
