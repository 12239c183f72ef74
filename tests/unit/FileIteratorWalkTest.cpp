// The directory walk: what it lists, what it leaves out, in which order, and
// what it reports on the way.
#include "lib/FileIterator.h"

#include "tests/unit/FileIteratorTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using qvstest::ComputerName;
using qvstest::TempDir;
using qvswalktest::HiddenDialogWindow;
using qvswalktest::MessageRecorder;
using qvswalktest::RecordMessage;

namespace
{
const std::wstring kReading = L"Reading directory...";
const std::wstring kError = L"Error!..";

class Walk : public testing::Test
{
protected:
    void SetUp() override
    {
        ClearList(FileListKind::Client);
        ClearList(FileListKind::Server);
    }
    void TearDown() override
    {
        ClearList(FileListKind::Client);
        ClearList(FileListKind::Server);
    }

    // Walks root into the client list, recording messages.
    void WalkClient(const std::wstring& root, CWnd* pContext = nullptr)
    {
        SCFileIterator iterator;
        iterator.SetRootFolder(root);
        iterator.Walk(FileListKind::Client, &RecordMessage, pContext);
    }

    // Full paths of the client list's entries, front to back.
    static std::vector<std::wstring> ListedPaths(FileListKind kind = FileListKind::Client)
    {
        std::vector<std::wstring> paths;
        for (const auto& pEntry : GetList(kind))
        {
            paths.push_back(pEntry->folder + pEntry->name);
        }
        return paths;
    }

    MessageRecorder recorder;
};

bool IsListName(const std::wstring& name)
{
    return CompareStringOrdinal(name.c_str(), -1, kServerListName, -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(name.c_str(), -1, kClientListName, -1, TRUE) == CSTR_EQUAL;
}

// What the walk must do, written the simplest way: plain recursion over the
// system's own search, in the order the system returns the entries. Files named in
// locked cannot be opened: each gives the walk's failure message where it is met.
void ReferenceWalk(const std::wstring& folder, std::vector<std::wstring>& messages,
                   std::vector<std::wstring>& files,
                   const std::vector<std::wstring>& locked = {})
{
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((folder + L"\\*.*").c_str(), &fd));
    if (!find)
    {
        return;
    }
    do
    {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L".." || name == L"QVSCliUpdate.log")
        {
            continue;
        }
        const std::wstring path = folder + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            messages.push_back(kReading + path + L"\r\n");
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            {
                ReferenceWalk(path, messages, files, locked);
            }
        }
        else if (std::find(locked.begin(), locked.end(), path) != locked.end())
        {
            messages.push_back(kError + AfxSystemErrorLine(ERROR_SHARING_VIOLATION) + L" (" +
                               path + L")\r\n");
        }
        else if (!IsListName(name))
        {
            files.push_back(path);
        }
    } while (FindNextFileW(find.get(), &fd));
}

// ---- Folder links: a symbolic link where the system makes them, otherwise
// (Wine, whose CreateSymbolicLinkW makes nothing) a Unix symbolic link made by ln
// through the Z: drive. ----

bool IsFolderLink(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeUnixLink(const std::wstring& parent, const std::wstring& name,
                  const std::wstring& relativeTarget)
{
    std::wstring command = L"Z:\\bin\\ln -s " + relativeTarget + L" " + name;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        parent.c_str(), &si, &pi))
    {
        return false;
    }
    UniqueKernelHandle process(pi.hProcess);
    UniqueKernelHandle thread(pi.hThread);
    // Wine runs a Unix program beside the process it reports: wait for the link itself.
    const std::wstring link = parent + L"\\" + name;
    for (int i = 0; i < 500 && GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    {
        Sleep(10);
    }
    return true;
}

// Makes parent\name a link to a folder; relativeTarget uses '/' for Unix.
bool MakeFolderLink(const std::wstring& parent, const std::wstring& name,
                    const std::wstring& fullTarget, const std::wstring& relativeTarget)
{
    const std::wstring link = parent + L"\\" + name;
    constexpr DWORD kUnprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (CreateSymbolicLinkW(link.c_str(), fullTarget.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | kUnprivileged) &&
        IsFolderLink(link))
    {
        return true;
    }
    return MakeUnixLink(parent, name, relativeTarget) && IsFolderLink(link);
}
} // namespace

TEST_F(Walk, EveryFileOnceWithItsClientFolderNameAndStamp)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"a.txt", "a");
    qvstest::MakeDirs(dir / L"sub\\deeper");
    qvstest::WriteBytes(dir / L"sub\\b.dll", "b");
    qvstest::WriteBytes(dir / L"sub\\deeper\\c.dat", "c");
    qvstest::SetLastWriteTime(dir / L"sub\\b.dll",
                              qvstest::FileTimeFromUtc(2026, 12, 4, 20, 59, 45));
    WalkClient(dir.path());

    std::vector<std::wstring> paths = ListedPaths();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ((std::vector<std::wstring>{dir / L"a.txt", dir / L"sub\\b.dll",
                                         dir / L"sub\\deeper\\c.dat"}),
              paths);
    for (const auto& pEntry : GetList(FileListKind::Client))
    {
        EXPECT_TRUE(pEntry->target.empty());
        EXPECT_EQ(L'\\', pEntry->folder.back());
        if (pEntry->name == L"b.dll")
        {
            EXPECT_EQ(dir / L"sub\\", pEntry->folder);
            // The stamp is the local time of the last write, to the second.
            FILETIME ftLocal{};
            const FILETIME ftUtc = qvstest::FileTimeFromUtc(2026, 12, 4, 20, 59, 45);
            FileTimeToLocalFileTime(&ftUtc, &ftLocal);
            SYSTEMTIME st{};
            FileTimeToSystemTime(&ftLocal, &st);
            wchar_t expected[32] = {};
            swprintf(expected, 32, L"%02u/%02u/%02u %02u:%02u:%02u", st.wDay, st.wMonth,
                     st.wYear % 100, st.wHour, st.wMinute, st.wSecond);
            EXPECT_EQ(expected, pEntry->modified);
        }
    }
}

TEST_F(Walk, DepthFirstInTheSystemsOrderWithExactlyTheseMessages)
{
    TempDir dir;
    for (const wchar_t* folder : {L"m", L"m\\x", L"m\\x\\y", L"b", L"z", L"z\\q"})
    {
        qvstest::MakeDirs(dir / folder);
    }
    for (const wchar_t* file : {L"1.txt", L"m\\2.txt", L"m\\x\\3.txt", L"m\\x\\y\\4.txt",
                                L"m\\5.txt", L"z\\q\\6.txt", L"z\\7.txt", L"8.txt"})
    {
        qvstest::WriteBytes(dir / file, "f");
    }
    WalkClient(dir.path());

    std::vector<std::wstring> expectedMessages;
    std::vector<std::wstring> walkedFiles;
    ReferenceWalk(dir.path(), expectedMessages, walkedFiles);
    EXPECT_EQ(expectedMessages, recorder.messages);
    ASSERT_EQ(6u, recorder.messages.size());
    // New entries go to the front: the list holds the files in reverse walk order.
    std::reverse(walkedFiles.begin(), walkedFiles.end());
    EXPECT_EQ(walkedFiles, ListedPaths());
    EXPECT_EQ(8u, walkedFiles.size());
}

TEST_F(Walk, TheContextReachesTheCallbackUnchangedAndShowsEveryLine)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"s");
    qvstest::WriteBytes(dir / L"s\\one.txt", "1");
    HiddenDialogWindow window;
    WalkClient(dir.path(), &window);

    ASSERT_EQ(1u, recorder.contexts.size());
    EXPECT_EQ(&window, recorder.contexts[0]);
    ASSERT_EQ(1u, GetList(FileListKind::Client).size());
    EXPECT_EQ(FormatListLine(*GetList(FileListKind::Client).front()), window.Text());
}

TEST_F(Walk, WithoutCallbackNothingIsReportedButTheWindowStillShowsTheLines)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"s");
    qvstest::WriteBytes(dir / L"s\\one.txt", "1");
    HiddenDialogWindow window;
    SCFileIterator iterator;
    iterator.SetRootFolder(dir.path());
    iterator.Walk(FileListKind::Client, nullptr, &window);
    EXPECT_TRUE(recorder.messages.empty());
    ASSERT_EQ(1u, GetList(FileListKind::Client).size());
    EXPECT_NE(std::wstring::npos, window.Text().find(L"one.txt"));
}

TEST_F(Walk, ALogFolderIsSkippedWithItsContentButOtherCasesOfTheNameAreListed)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"QVSCliUpdate.log\\inner");
    qvstest::WriteBytes(dir / L"QVSCliUpdate.log\\hidden.txt", "h");
    qvstest::WriteBytes(dir / L"QVSCliUpdate.log\\inner\\deep.txt", "d");
    qvstest::MakeDirs(dir / L"bin");
    qvstest::WriteBytes(dir / L"bin\\QVSCliUpdate.log", "the log itself");
    qvstest::MakeDirs(dir / L"other");
    qvstest::WriteBytes(dir / L"other\\qvscliupdate.log", "another case");
    WalkClient(dir.path());

    EXPECT_EQ(std::vector<std::wstring>{dir / L"other\\qvscliupdate.log"}, ListedPaths());
    std::vector<std::wstring> sorted = recorder.messages;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ((std::vector<std::wstring>{kReading + (dir / L"bin") + L"\r\n",
                                         kReading + (dir / L"other") + L"\r\n"}),
              sorted);
}

TEST_F(Walk, BothListFilesAreSkippedInAnyCaseInEveryFolder)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"a\\b");
    qvstest::WriteBytes(dir / L"HotUpdateFileList_Server.txt", "s");
    qvstest::WriteBytes(dir / L"HotUpdateFileList_Client.txt", "c");
    qvstest::WriteBytes(dir / L"a\\hotupdatefilelist_client.TXT", "c");
    qvstest::WriteBytes(dir / L"a\\b\\HOTUPDATEFILELIST_SERVER.txt", "s");
    qvstest::WriteBytes(dir / L"a\\b\\HotUpdateFileList_Server.txt.bak", "kept");
    WalkClient(dir.path());
    EXPECT_EQ(std::vector<std::wstring>{dir / L"a\\b\\HotUpdateFileList_Server.txt.bak"},
              ListedPaths());
}

TEST_F(Walk, AnEmptyFolderGivesOnlyItsMessage)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"empty");
    WalkClient(dir.path());
    EXPECT_TRUE(GetList(FileListKind::Client).empty());
    EXPECT_EQ(std::vector<std::wstring>{kReading + (dir / L"empty") + L"\r\n"}, recorder.messages);
}

TEST_F(Walk, AFileLockedWithoutSharingIsReportedAndLeftOut)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"locked.dll", "locked");
    qvstest::WriteBytes(dir / L"free.dll", "free");
    UniqueFile lock(CreateFileW((dir / L"locked.dll").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    WalkClient(dir.path());

    EXPECT_EQ(std::vector<std::wstring>{dir / L"free.dll"}, ListedPaths());
    ASSERT_EQ(1u, recorder.messages.size());
    const std::wstring& message = recorder.messages[0];
    EXPECT_EQ(0u, message.find(kError)) << message;
    EXPECT_TRUE(message.ends_with(L"\r\n")) << message;
    // The framework's text, cut to at most 259 characters.
    const std::wstring text = message.substr(kError.size(), message.size() - kError.size() - 2);
    EXPECT_FALSE(text.empty());
    EXPECT_LE(text.size(), 259u);
    EXPECT_NE(std::wstring::npos,
              text.find(qvswalktest::Trimmed(qvswalktest::SystemText(ERROR_SHARING_VIOLATION))))
        << text;
}

TEST_F(Walk, ServerFormNamesThisComputerAndThePathAfterTheColon)
{
    TempDir dir;
    qvstest::MakeDirs(dir / L"bin");
    qvstest::WriteBytes(dir / L"bin\\app.dll", "app");
    SCFileIterator iterator;
    iterator.SetRootFolder(dir.path());
    iterator.Walk(FileListKind::Server, nullptr, nullptr);
    ASSERT_EQ(1u, GetList(FileListKind::Server).size());
    const FileListEntry& entry = *GetList(FileListKind::Server).front();
    EXPECT_EQ(L"\\\\" + ComputerName() + dir.path().substr(2) + L"\\bin\\", entry.folder);
    EXPECT_EQ(L"app.dll", entry.name);
    EXPECT_TRUE(GetList(FileListKind::Client).empty());
}

TEST_F(Walk, AMissingRootGivesAnEmptyWalkWithoutAnyMessage)
{
    TempDir dir;
    WalkClient(dir / L"missing");
    EXPECT_TRUE(GetList(FileListKind::Client).empty());
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Walk, HiddenAndSystemFilesAreListedLikeAnyOther)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"h.sys", "h");
    SetFileAttributesW((dir / L"h.sys").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    WalkClient(dir.path());
    EXPECT_EQ(std::vector<std::wstring>{dir / L"h.sys"}, ListedPaths());
    SetFileAttributesW((dir / L"h.sys").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Walk, AFolderLinkIsReportedButNeverEnteredSoALoopEnds)
{
    TempDir dir;
    TempDir outside;
    qvstest::WriteBytes(outside / L"secret.txt", "outside the tree");
    qvstest::MakeDirs(dir / L"a");
    qvstest::WriteBytes(dir / L"a\\in.txt", "in");
    // a\loop leads back to the root; a\out leads to a folder outside the tree.
    if (!MakeFolderLink(dir / L"a", L"loop", dir.path(), L"..") ||
        !MakeFolderLink(dir / L"a", L"out", outside.path(),
                        L"../../" + outside.path().substr(outside.path().rfind(L'\\') + 1)))
    {
        GTEST_SKIP() << "this system makes neither junctions nor symbolic links";
    }
    WalkClient(dir.path());

    EXPECT_EQ(std::vector<std::wstring>{dir / L"a\\in.txt"}, ListedPaths());
    std::vector<std::wstring> sorted = recorder.messages;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ((std::vector<std::wstring>{kReading + (dir / L"a") + L"\r\n",
                                         kReading + (dir / L"a\\loop") + L"\r\n",
                                         kReading + (dir / L"a\\out") + L"\r\n"}),
              sorted);
    RemoveDirectoryW((dir / L"a\\loop").c_str());
    DeleteFileW((dir / L"a\\loop").c_str());
    RemoveDirectoryW((dir / L"a\\out").c_str());
    DeleteFileW((dir / L"a\\out").c_str());
}

namespace
{
struct DeepWalk
{
    std::wstring root;
    size_t messages = 0;
    std::vector<std::wstring> paths;
};

// What is left of a thread's stack for the walk.
constexpr size_t kStackLeft = 64 * 1024;

[[gnu::noinline]] void RunDeepWalk(DeepWalk* pWalk)
{
    MessageRecorder recorder;
    SCFileIterator iterator;
    iterator.EnableStatusPopup(false);
    iterator.SetRootFolder(pWalk->root);
    iterator.Walk(FileListKind::Client, &RecordMessage, nullptr);
    pWalk->messages = recorder.messages.size();
    for (const auto& pEntry : GetList(FileListKind::Client))
    {
        pWalk->paths.push_back(pEntry->folder + pEntry->name);
    }
}

// Uses up all of the thread's stack but kStackLeft bytes (the system may give a
// thread more than asked for), then walks.
DWORD WINAPI WalkOnLittleStack(LPVOID pParameter)
{
    MEMORY_BASIC_INFORMATION mbi{};
    VirtualQuery(&mbi, &mbi, sizeof mbi);
    const size_t nFree = static_cast<size_t>(reinterpret_cast<const char*>(&mbi) -
                                             static_cast<const char*>(mbi.AllocationBase));
    volatile char* pUsed = static_cast<volatile char*>(__builtin_alloca(nFree - kStackLeft));
    pUsed[0] = 0;
    RunDeepWalk(static_cast<DeepWalk*>(pParameter));
    return static_cast<DWORD>(static_cast<unsigned char>(pUsed[0]));
}

DeepWalk WalkDeepTree(const std::wstring& root)
{
    DeepWalk walk;
    walk.root = root;
    UniqueKernelHandle thread(CreateThread(nullptr, 0, &WalkOnLittleStack, &walk, 0, nullptr));
    EXPECT_TRUE(thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 120000));
    return walk;
}
} // namespace

TEST_F(Walk, ADeepTreeIsWalkedOnLittleStack)
{
    // 300 levels with 64 KB of stack: a walk that recursed once per level would
    // need several times that (a fault ends the whole test program). Paths grow
    // past MAX_PATH on the way.
    TempDir dir;
    std::wstring deep = dir.path();
    for (int level = 0; level < 300; ++level)
    {
        deep += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(AfxLongPathForm(deep).c_str(), nullptr)) << level;
    }
    qvstest::WriteBytes(AfxLongPathForm(deep + L"\\bottom.txt"), "bottom");
    qvstest::WriteBytes(dir / L"top.txt", "top");

    DeepWalk walk = WalkDeepTree(dir.path());
    EXPECT_EQ(300u, walk.messages);
    std::sort(walk.paths.begin(), walk.paths.end());
    EXPECT_EQ((std::vector<std::wstring>{deep + L"\\bottom.txt", dir / L"top.txt"}), walk.paths);

    // TempDir removes trees recursively: take the deep one apart here, bottom up.
    DeleteFileW(AfxLongPathForm(deep + L"\\bottom.txt").c_str());
    while (deep.size() > dir.path().size())
    {
        RemoveDirectoryW(AfxLongPathForm(deep).c_str());
        deep.erase(deep.rfind(L'\\'));
    }
}

// Files are opened ahead of the walk on several threads; what the walk reports
// and lists must stay exactly what a plain one-at-a-time walk gives, in order,
// over more files than are ever opened ahead at once.
TEST_F(Walk, ManyFilesOpenedAheadKeepTheSystemsOrderWithEveryFailureInPlace)
{
    TempDir dir;
    std::vector<std::wstring> relatives;
    // A folder of 1,300 files, others of a few, nested, and folders between them.
    qvstest::MakeDirs(dir / L"big");
    for (int i = 0; i < 1300; ++i)
    {
        relatives.push_back(L"big\\f" + std::to_wstring(i) + L".bin");
    }
    for (int f = 0; f < 40; ++f)
    {
        const std::wstring folder = L"s" + std::to_wstring(f) + (f % 3 == 0 ? L"\\deep" : L"");
        qvstest::MakeDirs(dir / folder);
        for (int i = 0; i < f % 7; ++i)
        {
            relatives.push_back(folder + L"\\g" + std::to_wstring(i) + L".dat");
        }
    }
    relatives.push_back(L"big\\HotUpdateFileList_Client.txt");
    relatives.push_back(L"s5\\hotupdatefilelist_server.TXT");
    std::vector<UniqueFile> locks;
    std::vector<std::wstring> lockedPaths;
    for (size_t i = 0; i < relatives.size(); ++i)
    {
        const std::wstring path = dir / relatives[i];
        qvstest::WriteBytes(path, "content " + std::to_string(i));
        if (i % 97 == 5)
        {
            locks.emplace_back(
                CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(locks.back());
            lockedPaths.push_back(path);
        }
    }
    ASSERT_GE(lockedPaths.size(), 10u);

    WalkClient(dir.path());

    std::vector<std::wstring> expectedMessages;
    std::vector<std::wstring> expectedListed;
    ReferenceWalk(dir.path(), expectedMessages, expectedListed, lockedPaths);
    ASSERT_GE(expectedListed.size(), 1300u - lockedPaths.size());
    EXPECT_EQ(expectedMessages, recorder.messages);
    std::reverse(expectedListed.begin(), expectedListed.end());
    EXPECT_EQ(expectedListed, ListedPaths());
    // Every entry carries its own file's stamp, not a neighbour's.
    for (const auto& pEntry : GetList(FileListKind::Client))
    {
        SCFile file(pEntry->folder + pEntry->name);
        FileListEntry again;
        file.FillEntry(FileListKind::Client, &again);
        ASSERT_EQ(again.modified, pEntry->modified) << pEntry->name;
    }
}

namespace
{
int g_nMessagesBeforeThrow = 0;

LRESULT ThrowOnAMessage(const std::wstring& strMessage, CWnd* pContext)
{
    RecordMessage(strMessage, pContext);
    if (--g_nMessagesBeforeThrow == 0)
    {
        throw std::runtime_error("the listener gave up");
    }
    return 0;
}
} // namespace

TEST_F(Walk, AListenerThatThrowsEndsTheWalkAndTheNextWalkIsWhole)
{
    TempDir dir;
    for (int f = 0; f < 30; ++f)
    {
        const std::wstring folder = L"d" + std::to_wstring(f);
        qvstest::MakeDirs(dir / folder);
        for (int i = 0; i < 40; ++i)
        {
            qvstest::WriteBytes(dir / (folder + L"\\x" + std::to_wstring(i)), "x");
        }
    }
    SCFileIterator iterator;
    iterator.SetRootFolder(dir.path());
    g_nMessagesBeforeThrow = 3;
    EXPECT_THROW(iterator.Walk(FileListKind::Client, &ThrowOnAMessage, nullptr),
                 std::runtime_error);
    EXPECT_EQ(3u, recorder.messages.size());
    // Only what the walk reached before the throw was listed.
    EXPECT_LT(GetList(FileListKind::Client).size(), 3u * 40u);

    ClearList(FileListKind::Client);
    recorder.messages.clear();
    WalkClient(dir.path());
    EXPECT_EQ(30u, recorder.messages.size());
    EXPECT_EQ(30u * 40u, GetList(FileListKind::Client).size());
}
