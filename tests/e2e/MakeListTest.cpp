// QVSMakeList.exe, run as an administrator runs it: a release folder in, the
// server list out, read back with the clients' own reader.
#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/File.h"
#include "lib/ReleaseRecord.h"
#include "resource.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <stdexcept>

using qvstest::ComputerName;
using qvstest::TempDir;

namespace
{
struct ToolRun
{
    DWORD exitCode = static_cast<DWORD>(-1);
    std::wstring out;
    std::wstring err;
};

// Runs QVSMakeList.exe with the arguments, its output and errors caught in files.
ToolRun RunTool(const std::wstring& arguments)
{
    TempDir capture;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    ToolRun run;
    {
        UniqueFile out(CreateFileW((capture / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                   &sa, CREATE_ALWAYS, 0, nullptr));
        UniqueFile err(CreateFileW((capture / L"err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                   &sa, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out.get();
        si.hStdError = err.get();
        PROCESS_INFORMATION pi{};
        std::wstring command = L"\"" + qvstest::ExeFolder() + L"QVSMakeList.exe\" " + arguments;
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                            nullptr, nullptr, &si, &pi))
        {
            throw std::runtime_error("cannot start QVSMakeList.exe");
        }
        UniqueKernelHandle process(pi.hProcess);
        UniqueKernelHandle thread(pi.hThread);
        if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0)
        {
            TerminateProcess(process.get(), 999);
        }
        GetExitCodeProcess(process.get(), &run.exitCode);
    }
    run.out = qvstest::FromUtf8(qvstest::ReadBytes(capture / L"out.txt"));
    run.err = qvstest::FromUtf8(qvstest::ReadBytes(capture / L"err.txt"));
    return run;
}

// A path in quotes, as a command line must hold it: backslashes before the
// closing quote are doubled.
std::wstring Quoted(const std::wstring& path)
{
    std::wstring text = path;
    const size_t trailing = text.size() - text.find_last_not_of(L'\\') - 1;
    text.append(trailing, L'\\');
    return L"\"" + text + L"\"";
}

// Releases are top folders of a drive: made at the top of C:, removed afterwards.
class ReleaseFolder
{
public:
    ReleaseFolder()
    {
        static std::atomic<unsigned> s_counter{0};
        m_path = L"C:\\QVSMakeListTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(s_counter++);
        qvstest::RemoveTree(m_path);
        if (!CreateDirectoryW(m_path.c_str(), nullptr))
        {
            throw std::runtime_error("cannot create a release folder");
        }
    }
    ~ReleaseFolder() { qvstest::RemoveTree(m_path); }
    ReleaseFolder(const ReleaseFolder&) = delete;
    ReleaseFolder& operator=(const ReleaseFolder&) = delete;

    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& relative) const { return m_path + L"\\" + relative; }
    std::wstring List() const { return m_path + L"\\HotUpdateFileList_Server.txt"; }

    void Add(const std::wstring& relative, const std::string& bytes, const FILETIME& ftUtc)
    {
        const size_t slash = relative.rfind(L'\\');
        if (slash != std::wstring::npos)
        {
            qvstest::MakeDirs(m_path + L"\\" + relative.substr(0, slash));
        }
        qvstest::WriteBytes(*this / relative, bytes);
        qvstest::SetLastWriteTime(*this / relative, ftUtc);
    }

private:
    std::wstring m_path;
};

// The list's stamp of a UTC write time: local time now in force, to the second.
std::wstring Stamp(const FILETIME& ftUtc)
{
    FILETIME ftLocal{};
    FileTimeToLocalFileTime(&ftUtc, &ftLocal);
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ftLocal, &st);
    wchar_t text[32] = {};
    swprintf(text, 32, L"%02u/%02u/%02u %02u:%02u:%02u", st.wDay, st.wMonth, st.wYear % 100,
             st.wHour, st.wMinute, st.wSecond);
    return text;
}

// The list as the clients read it: folder + name -> stamp.
std::map<std::wstring, std::wstring> ReadBack(const std::wstring& folder)
{
    std::map<std::wstring, std::wstring> entries;
    EXPECT_TRUE(OpenListFile(FileListKind::Server, folder));
    EXPECT_TRUE(ReadList(FileListKind::Server));
    for (const auto& pEntry : GetList(FileListKind::Server))
    {
        entries[pEntry->folder + L"|" + pEntry->name] = pEntry->modified;
    }
    CloseListFile(FileListKind::Server);
    ClearList(FileListKind::Server);
    return entries;
}

std::vector<std::wstring> Names(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (find)
    {
        do
        {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            {
                names.emplace_back(fd.cFileName);
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    std::sort(names.begin(), names.end());
    return names;
}

const FILETIME kWinter = qvstest::FileTimeFromUtc(2026, 1, 15, 9, 0, 0);
const FILETIME kSummer = qvstest::FileTimeFromUtc(2026, 7, 4, 21, 59, 45);
} // namespace

TEST(MakeList, AReleaseTreeIsListedInServerFormAndReadsBack)
{
    ReleaseFolder release;
    release.Add(L"QVS.exe", "exe", kWinter);
    release.Add(L"bin\\app.dll", "dll", kSummer);
    release.Add(L"bin\\plugins\\deep\\p.dat", "dat", kWinter);
    release.Add(L"QVSCliUpdate.log\\ignored.txt", "no", kWinter);
    release.Add(L"bin\\HotUpdateFileList_Client.txt", "no", kWinter);
    qvstest::MakeDirs(release / L"empty");

    const ToolRun run = RunTool(Quoted(release.path()));
    ASSERT_EQ(0u, run.exitCode) << qvstest::ToUtf8(run.err);

    const std::wstring server = L"\\\\" + ComputerName() + release.path().substr(2);
    const std::map<std::wstring, std::wstring> expected = {
        {server + L"\\|QVS.exe", Stamp(kWinter)},
        {server + L"\\bin\\|app.dll", Stamp(kSummer)},
        {server + L"\\bin\\plugins\\deep\\|p.dat", Stamp(kWinter)},
    };
    EXPECT_EQ(expected, ReadBack(release.path()));

    // One summary line: the files, the folders, the time, and the SourceFolder to use.
    EXPECT_EQ(1, std::count(run.out.begin(), run.out.end(), L'\n')) << qvstest::ToUtf8(run.out);
    EXPECT_NE(std::wstring::npos, run.out.find(L"3 files in 5 folders"))
        << qvstest::ToUtf8(run.out);
    EXPECT_NE(std::wstring::npos, run.out.find(L"SourceFolder=" + server + L")"));
    EXPECT_NE(std::wstring::npos, run.out.find(L" s "));
    // Nothing but the list and its record was added to the release.
    EXPECT_EQ((std::vector<std::wstring>{L"HotUpdateFileList_Server.sha256",
                                         L"HotUpdateFileList_Server.txt", L"QVS.exe"}),
              Names(release.path()));
}

TEST(MakeList, TheFileIsUtf16LinesWithoutMarkOrHeader)
{
    ReleaseFolder release;
    release.Add(L"only.txt", "1", kSummer);
    ASSERT_EQ(0u, RunTool(Quoted(release.path())).exitCode);
    const std::wstring text = qvstest::ReadUtf16(release.List());
    const std::wstring line = L"\\\\" + ComputerName() + release.path().substr(2) +
                              L"\\\t\tonly.txt\t\t" + Stamp(kSummer) + L"\r\n";
    EXPECT_EQ(line, text);
}

TEST(MakeList, AnOlderListIsReplacedWithoutLeftovers)
{
    ReleaseFolder release;
    release.Add(L"new.dll", "new", kSummer);
    qvstest::WriteUtf16(release.List(), L"\\\\OLD\\Release\\\t\told.dll\t\t01/01/20 00:00:00\r\n");
    SetFileAttributesW(release.List().c_str(), FILE_ATTRIBUTE_READONLY);

    const ToolRun run = RunTool(Quoted(release.path() + L"\\"));
    ASSERT_EQ(0u, run.exitCode) << qvstest::ToUtf8(run.err);
    const std::map<std::wstring, std::wstring> entries = ReadBack(release.path());
    ASSERT_EQ(1u, entries.size());
    EXPECT_NE(std::wstring::npos, entries.begin()->first.find(L"|new.dll"));
    EXPECT_EQ((std::vector<std::wstring>{L"HotUpdateFileList_Server.sha256",
                                         L"HotUpdateFileList_Server.txt", L"new.dll"}),
              Names(release.path()));
    SetFileAttributesW(release.List().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(MakeList, TemporaryFilesOfStoppedRunsAreRemovedAndNeverListed)
{
    ReleaseFolder release;
    release.Add(L"real.dll", "r", kSummer);
    release.Add(L"~QVSMakeList-fffffff1.tmp", "half a list", kSummer);
    release.Add(L"~QVSMakeList-fffffff1-sha256.tmp", "half a record", kSummer);
    release.Add(L"bin\\~QVSCopy-fffffff1-3.tmp", "half a copy", kSummer);
    ASSERT_EQ(0u, RunTool(Quoted(release.path())).exitCode);
    const std::map<std::wstring, std::wstring> entries = ReadBack(release.path());
    ASSERT_EQ(1u, entries.size());
    EXPECT_NE(std::wstring::npos, entries.begin()->first.find(L"|real.dll"));
    EXPECT_FALSE(qvstest::Exists(release / L"~QVSMakeList-fffffff1.tmp"));
    EXPECT_FALSE(qvstest::Exists(release / L"~QVSMakeList-fffffff1-sha256.tmp"));
}

// The record read back with the clients' reader: it belongs to the list beside
// it and gives every listed file, whatever its name or depth, its size and
// SHA-256; a second run neither lists the first run's record nor loses its own.
TEST(MakeList, TheRecordGivesEveryListedFileItsSizeAndSha256)
{
    ReleaseFolder release;
    const std::wstring deep = std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e');
    const std::vector<std::pair<std::wstring, std::string>> files = {
        {L"bin\\app.dll", "dll"},
        {L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\\\u03b1\u03c1\u03c7.txt", "greek"},
        {L"bin\\\u6570\u636e\U0001F600.dat", "cjk and emoji"},
        {L"empty.txt", ""},
        {L"big.bin", std::string(300000, 'b')},
        {deep + L"\\deep.dll", "beyond MAX_PATH"},
    };
    for (const auto& [relative, bytes] : files)
    {
        const std::wstring path = AfxLongPathForm(release / relative);
        qvstest::MakeDirs(path.substr(0, path.rfind(L'\\')));
        const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file) << qvstest::ToUtf8(relative);
        DWORD n = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    }
    const std::wstring record = release / kReleaseRecordName;
    const std::wstring server = L"\\\\" + ComputerName() + release.path().substr(2);
    for (int nRun = 1; nRun <= 2; ++nRun)
    {
        const ToolRun run = RunTool(Quoted(release.path()));
        ASSERT_EQ(0u, run.exitCode) << qvstest::ToUtf8(run.err);
        SCReleaseRecord loaded;
        ASSERT_TRUE(loaded.LoadFor(record, release.List())) << nRun;
        ASSERT_TRUE(OpenListFile(FileListKind::Server, release.path()));
        ASSERT_TRUE(ReadList(FileListKind::Server));
        CloseListFile(FileListKind::Server);
        const FileList& list = GetList(FileListKind::Server);
        EXPECT_EQ(files.size(), list.size()) << nRun;
        EXPECT_EQ(files.size(), loaded.GetCount()) << nRun;
        for (const auto& pEntry : list)
        {
            const SCReleaseRecord::Item* pItem = loaded.Find(pEntry->folder, pEntry->name);
            ASSERT_NE(nullptr, pItem) << qvstest::ToUtf8(pEntry->name);
            ASSERT_EQ(0u, pEntry->folder.find(server));
            const std::wstring local =
                release.path() + pEntry->folder.substr(server.size()) + pEntry->name;
            const std::string bytes = qvstest::ReadBytes(AfxLongPathForm(local));
            SCSha256::Digest digest{};
            SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
            EXPECT_EQ(bytes.size(), pItem->nSize) << qvstest::ToUtf8(pEntry->name);
            EXPECT_EQ(digest, pItem->digest) << qvstest::ToUtf8(pEntry->name);
        }
        ClearList(FileListKind::Server);
    }
    qvstest::RemoveTree(AfxLongPathForm(release / std::wstring(120, L'd')));
}

// A file that an administrator is still copying into the release is not
// hashed half-way: the run stops before writing anything.
TEST(MakeList, AFileStillBeingWrittenStopsThePublishWithNothingWritten)
{
    ReleaseFolder release;
    release.Add(L"free.dll", "f", kSummer);
    release.Add(L"busy.dll", "half of it", kSummer);
    const std::wstring oldList = L"\\\\SRV\\R\\\t\tfree.dll\t\t01/01/20 00:00:00\r\n";
    qvstest::WriteUtf16(release.List(), oldList);
    ToolRun run;
    {
        const UniqueFile writer(CreateFileW((release / L"busy.dll").c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer);
        run = RunTool(Quoted(release.path()));
    }
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_NE(std::wstring::npos, run.err.find(L"busy.dll")) << qvstest::ToUtf8(run.err);
    EXPECT_NE(std::wstring::npos, run.err.find(L"neither the record nor the list"));
    EXPECT_EQ(oldList, qvstest::ReadUtf16(release.List()));
    EXPECT_EQ((std::vector<std::wstring>{L"HotUpdateFileList_Server.txt", L"busy.dll", L"free.dll"}),
              Names(release.path()));
}

TEST(MakeList, BadArgumentsExitWithOneAndSayWhy)
{
    ReleaseFolder release;
    const struct
    {
        std::wstring arguments;
        const wchar_t* says;
    } cases[] = {
        {L"--bogus " + Quoted(release.path()), L"unknown option --bogus"},
        {Quoted(release.path()) + L" " + Quoted(release.path()), L"more than one"},
    };
    for (const auto& c : cases)
    {
        const ToolRun run = RunTool(c.arguments);
        EXPECT_EQ(1u, run.exitCode) << qvstest::ToUtf8(c.arguments);
        EXPECT_NE(std::wstring::npos, run.err.find(c.says)) << qvstest::ToUtf8(run.err);
        EXPECT_NE(std::wstring::npos, run.err.find(L"Usage")) << qvstest::ToUtf8(run.err);
        EXPECT_FALSE(qvstest::Exists(release.List()));
    }
}

TEST(MakeList, FoldersThatCannotServeAsAReleaseAreRefused)
{
    ReleaseFolder release;
    release.Add(L"a.txt", "a", kSummer);
    const struct
    {
        std::wstring folder;
        DWORD exitCode;
        const wchar_t* says;
    } cases[] = {
        {release / L"missing", 2, L"cannot be found"},
        {L"C:\\QVSMakeListTest-missing-folder", 2, L"cannot be found"},
        {release / L"a.txt", 2, L"is a file"},
        {L"C:\\", 1, L"root folder of its drive"},
        {L"\\\\SRV01\\Release", 1, L"not a path on a local drive"},
    };
    for (const auto& c : cases)
    {
        const ToolRun run = RunTool(Quoted(c.folder));
        EXPECT_EQ(c.exitCode, run.exitCode) << qvstest::ToUtf8(c.folder);
        EXPECT_NE(std::wstring::npos, run.err.find(c.says)) << qvstest::ToUtf8(run.err);
        EXPECT_TRUE(run.out.empty());
    }
    EXPECT_FALSE(qvstest::Exists(release.List()));
}

TEST(MakeList, AFileThatCannotBeReadKeepsTheOldListAndExitsWithThree)
{
    ReleaseFolder release;
    release.Add(L"free.dll", "f", kSummer);
    release.Add(L"locked.dll", "l", kSummer);
    const std::wstring oldList = L"\\\\SRV\\R\\\t\tfree.dll\t\t01/01/20 00:00:00\r\n";
    qvstest::WriteUtf16(release.List(), oldList);
    ToolRun run;
    {
        UniqueFile lock(CreateFileW((release / L"locked.dll").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        run = RunTool(Quoted(release.path()));
    }
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_NE(std::wstring::npos, run.err.find(L"locked.dll")) << qvstest::ToUtf8(run.err);
    EXPECT_NE(std::wstring::npos, run.err.find(L"not written"));
    EXPECT_EQ(oldList, qvstest::ReadUtf16(release.List()));
    EXPECT_EQ(
        (std::vector<std::wstring>{L"HotUpdateFileList_Server.txt", L"free.dll", L"locked.dll"}),
        Names(release.path()));
}

TEST(MakeList, HelpExplainsTheServerFormTheShareAndSourceFolder)
{
    const ToolRun run = RunTool(L"--help");
    EXPECT_EQ(0u, run.exitCode);
    for (const wchar_t* part : {L"\\\\SRV01\\Release", L"SourceFolder=", L"QVS.ini",
                                L"under its own name", L"top folder", L"Exit codes",
                                L"HotUpdateFileList_Server.sha256", L"SHA-256"})
    {
        EXPECT_NE(std::wstring::npos, run.out.find(part)) << qvstest::ToUtf8(part);
    }
}

TEST(MakeList, ItsStringsAreTheProgramsStrings)
{
    UniqueModule tool(LoadLibraryExW((qvstest::ExeFolder() + L"QVSMakeList.exe").c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE));
    UniqueModule program(LoadLibraryExW((qvstest::ExeFolder() + L"QVSCliUpdate.exe").c_str(),
                                        nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(tool);
    ASSERT_TRUE(program);
    for (const UINT id : {UINT{IDS_TIMESTAMP_PATTERN}, UINT{IDS_ERROR}, UINT{IDS_COPYING},
                          UINT{IDS_READING_DIRECTORY}})
    {
        wchar_t fromTool[256] = {};
        wchar_t fromProgram[256] = {};
        EXPECT_GT(LoadStringW(tool.get(), id, fromTool, 256), 0) << id;
        LoadStringW(program.get(), id, fromProgram, 256);
        EXPECT_STREQ(fromProgram, fromTool) << id;
    }
}
