// Faults of the installation itself: a client list that cannot be written, files
// that are read-only, hidden or in use by the running client, a program folder
// without a bin folder beside it, paths beyond MAX_PATH and names outside the
// ANSI code page.
#include "tests/e2e/FaultFixture.h"

using namespace qvsfault;

namespace
{
class LocalFault : public FaultRun
{
protected:
    void PrepareSmallUpdate()
    {
        Install(L"bin\\a.dll", "a version 1", T(2025, 6, 1));
        Publish(L"bin\\a.dll", "a version 2", T(2026, 1, 10));
        Publish(L"bin\\new.dll", "new version 2", T(2026, 1, 10));
        ASSERT_EQ(0u, m_release.Publish());
    }
    std::wstring ClientList() const { return m_inst.root() + L"\\HotUpdateFileList_Client.txt"; }
};

const wchar_t kUnfinished[] = L"The update run did not finish.";

// How the client list is kept from being written.
enum class Blocked
{
    HeldByAnotherProgram,
    ReadOnly,
    AFolderInItsPlace,
};
} // namespace

TEST_F(LocalFault, AClientListThatCannotBeWrittenStopsTheRunBeforeAnyCopy)
{
    struct Case
    {
        const char* name;
        Blocked how;
    };
    const Case cases[] = {{"held by another program", Blocked::HeldByAnotherProgram},
                          {"read-only", Blocked::ReadOnly},
                          {"a folder in its place", Blocked::AFolderInItsPlace}};
    PrepareSmallUpdate();
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        DeleteFileW((m_inst.bin() + L"\\QVS.started").c_str());
        UniqueFile held;
        switch (c.how)
        {
        case Blocked::HeldByAnotherProgram:
            WriteBytes(ClientList(), "");
            held.reset(CreateFileW(ClientList().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
            ASSERT_TRUE(held);
            break;
        case Blocked::ReadOnly:
            WriteBytes(ClientList(), "");
            SetFileAttributesW(ClientList().c_str(), FILE_ATTRIBUTE_READONLY);
            break;
        case Blocked::AFolderInItsPlace:
            ASSERT_TRUE(CreateDirectoryW(ClientList().c_str(), nullptr));
            break;
        }
        bool bBlocked = false;
        {
            RunningProgram program(L"\"" + m_inst.updater() + L"\"");
            ASSERT_TRUE(program.started());
            // The walk reports the held file first; the run's own line names the list.
            const std::wstring text = program.WaitForText(L" " + ClientList(), 10000);
            // A run that cannot open the list stops and waits for the user; one
            // that opens it goes on and ends by itself.
            bBlocked = program.Wait(3000) == static_cast<DWORD>(-1);
            if (bBlocked)
            {
                // The user sees why.
                EXPECT_NE(std::wstring::npos, text.find(ClientList())) << ToUtf8(text);
                EXPECT_TRUE(WaitUntil(
                    [this] {
                        return Ini(L"UpdateSucceeded") == L"0" &&
                               Ini(L"UpdateFailureReason") != kUnfinished;
                    },
                    5000));
                const std::wstring reason = Ini(L"UpdateFailureReason");
                EXPECT_NE(std::wstring::npos, text.find(L"Error!.." + reason)) << ToUtf8(reason);
                PressOk(program.FindDialog());
                EXPECT_NE(static_cast<DWORD>(-1), program.Wait(20000));
            }
        }
        if (bBlocked)
        {
            // Nothing was copied and the client was not started.
            EXPECT_TRUE(m_inst.ClientStarts(1, 300).empty());
            ExpectEveryFileOldOrNew();
            EXPECT_EQ("a version 1", ReadInstalled(L"bin\\a.dll"));
            EXPECT_FALSE(IsInstalled(L"bin\\new.dll"));
        }
        else
        {
            // Wine opens a folder as a file and lets root write read-only files:
            // the run compared with an empty list and copied every file.
            EXPECT_NE(Blocked::HeldByAnotherProgram, c.how);
            ExpectCompleteUpdate();
            // Either the list was written after all, or the user sees why it was not.
            const DWORD attributes = GetFileAttributesW(ClientList().c_str());
            const bool bWritten =
                (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !ReadBytes(ClientList()).empty();
            const std::string log = Log();
            const std::string named = " " + ToUtf8(ClientList());
            bool bNamed = false;
            for (size_t start = 0, end = 0; (end = log.find("\r\n", start)) != std::string::npos;
                 start = end + 2)
            {
                const std::string line = log.substr(start, end - start);
                bNamed = bNamed || (line.starts_with("Error!..") && line.ends_with(named));
            }
            EXPECT_TRUE(bWritten || bNamed) << log;
            EXPECT_EQ(1u, m_inst.ClientStarts().size());
            Install(L"bin\\a.dll", "a version 1", T(2025, 6, 1));
            DeleteFileW(Installed(L"bin\\new.dll").c_str());
            DeleteFileW(LocalListCopy().c_str());
        }

        held.reset();
        SetFileAttributesW(ClientList().c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(ClientList().c_str());
        DeleteFileW(ClientList().c_str());
    }
    // Once it can be written, the next start completes the update.
    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    EXPECT_EQ(1u, m_inst.ClientStarts().size());
}

TEST_F(LocalFault, ReadOnlyHiddenAndSystemFilesAreReplaced)
{
    const DWORD kinds[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
    for (size_t i = 0; i < std::size(kinds); ++i)
    {
        const std::wstring relative = L"bin\\file" + std::to_wstring(i) + L".dll";
        Install(relative, "version 1", T(2025, 6, 1));
        ASSERT_TRUE(SetFileAttributesW(Installed(relative).c_str(), kinds[i]));
        Publish(relative, "version 2 of " + std::to_string(i), T(2026, 1, 10));
    }
    ASSERT_EQ(0u, m_release.Publish());
    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    for (size_t i = 0; i < std::size(kinds); ++i)
    {
        const std::wstring path = Installed(L"bin\\file" + std::to_wstring(i) + L".dll");
        // The file takes the release's attributes: none of these.
        EXPECT_EQ(0u, GetFileAttributesW(path.c_str()) & kinds[i]) << i;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(LocalFault, TheRunningClientsOwnFileIsReplacedOrKeptWholeAndRetried)
{
    // A release with a new QVS.exe (the stand-in with a trailer, still runnable)
    // while the installed one runs and holds its file.
    const std::string standIn = ReadBytes(m_inst.bin() + L"\\QVS.exe");
    SetLastWriteTime(m_inst.bin() + L"\\QVS.exe", T(2025, 6, 1));
    m_old[L"bin\\QVS.exe"] = standIn;
    Publish(L"bin\\QVS.exe", standIn + std::string("\0QVS version 2", 14), T(2026, 1, 10));
    Install(L"bin\\a.dll", "a version 1", T(2025, 6, 1));
    Publish(L"bin\\a.dll", "a version 2", T(2026, 1, 10));
    ASSERT_EQ(0u, m_release.Publish());
    const std::wstring hold = m_inst.bin() + L"\\QVS.hold";
    WriteBytes(hold, "");
    RunningProgram client(L"\"" + m_inst.bin() + L"\\QVS.exe\"");
    ASSERT_TRUE(client.started());
    ASSERT_EQ(1u, m_inst.ClientStarts().size());

    EXPECT_EQ(0u, m_inst.Run());
    ExpectEveryFileOldOrNew();
    EXPECT_EQ("a version 2", ReadInstalled(L"bin\\a.dll"));
    const bool replaced = ReadInstalled(L"bin\\QVS.exe") != standIn;
    if (replaced)
    {
        // Wine lets a running program's file be replaced; Windows does not.
        EXPECT_EQ(L"1", Ini(L"UpdateSucceeded"));
    }
    else
    {
        ExpectRecordedFailure();
    }
    DeleteFileW(hold.c_str());
    EXPECT_NE(static_cast<DWORD>(-1), client.Wait(10000));
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
    WaitUntil([this] { return m_inst.ClientStarts(2).size() >= 2; }, 2000);
    Sleep(300); // the client started by the run sees the hold file gone and ends

    if (!replaced)
    {
        EXPECT_EQ(0u, m_inst.Run());
        ExpectCompleteUpdate();
        Sleep(300);
    }
}

TEST(LocalFaultLayout, WithoutABinFolderThereIsNoLogAndTheRunGoesOn)
{
    Release release;
    release.AddFile(L"prog\\app.dll", "app version 2", T(2026, 1, 10));
    release.AddFile(L"data\\new.dat", "new version 2", T(2026, 1, 10));
    ASSERT_EQ(0u, release.Publish());
    TempDir dir;
    const HandMadeInstallation inst(dir.path(), L"prog", release.unc());
    WriteFileAt(dir / L"prog\\app.dll", "app version 1", T(2025, 6, 1));

    EXPECT_EQ(0u, inst.Run());
    EXPECT_EQ("app version 2", ReadBytes(dir / L"prog\\app.dll"));
    EXPECT_EQ("new version 2", ReadBytes(dir / L"data\\new.dat"));
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));
    EXPECT_TRUE(inst.ClientStarted());
    EXPECT_FALSE(Exists(dir / L"bin"));
    for (const std::wstring& file : FilesBelow(dir.path()))
    {
        EXPECT_EQ(std::wstring::npos, file.find(L"QVSCliUpdate.log")) << ToUtf8(file);
    }
}

TEST_F(LocalFault, PathsBeyondMaxPathAreUpdatedAndAdded)
{
    std::wstring deep = L"bin";
    while (deep.size() < 300)
    {
        deep += L"\\a-rather-long-folder-name-" + std::to_wstring(deep.size());
    }
    ASSERT_GT((m_inst.root() + L"\\" + deep).size(), 300u);
    Install(deep + L"\\old.dll", "old version 1", T(2025, 6, 1));
    Publish(deep + L"\\old.dll", "old version 2", T(2026, 1, 10));
    Publish(deep + L"\\deeper\\new.dll", "new version 2", T(2026, 1, 10));
    ASSERT_EQ(0u, m_release.Publish());

    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    EXPECT_EQ(1u, m_inst.ClientStarts().size());
    // The client list names them, so a second start sees nothing to copy.
    EXPECT_EQ(0u, m_inst.Run(L"/force"));
    EXPECT_EQ(std::string::npos, Log().find("Copying...")) << Log();
    EXPECT_EQ(L"1", Ini(L"UpdateSucceeded"));
    // The plain removal of temporary folders stops at MAX_PATH.
    RemoveLongTree(m_inst.root() + L"\\bin\\a-rather-long-folder-name-3");
    RemoveLongTree(m_release.local() + L"\\bin\\a-rather-long-folder-name-3");
}

TEST_F(LocalFault, NamesOutsideTheAnsiCodePageAreUpdatedAndAdded)
{
    const std::wstring names[] = {
        L"bin\\\x0391\x03C1\x03C7\x03B5\x03AF\x03BF.dll",              // Greek
        L"bin\\\x6587\x4EF6\\\x8CC7\x6599.dat",                        // CJK folder and name
        L"\xD83D\xDE00 smile\\\xD83C\xDF89\xD83D\xDCE6.txt",           // emoji (surrogate pairs)
        L"bin\\mixed \x00E9\x0416\x05D0\x0627\x0E01\xD83D\xDE80.ini"}; // Latin, Cyrillic, ...
    for (const std::wstring& relative : names)
    {
        Publish(relative, "version 2 of " + ToUtf8(relative), T(2026, 1, 10));
    }
    Install(names[0], "version 1", T(2025, 6, 1));
    Install(names[2], "version 1", T(2025, 6, 1));
    ASSERT_EQ(0u, m_release.Publish());

    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    const std::wstring clientList = ReadUtf16(m_inst.root() + L"\\HotUpdateFileList_Client.txt");
    EXPECT_NE(std::wstring::npos, clientList.find(L"\t\t\xD83C\xDF89\xD83D\xDCE6.txt\t\t"));
    // Compared by their true names: a forced second run copies nothing.
    EXPECT_EQ(0u, m_inst.Run(L"/force"));
    EXPECT_EQ(std::string::npos, Log().find("Copying...")) << Log();
    EXPECT_EQ(L"1", Ini(L"UpdateSucceeded"));
}

TEST(LocalFaultLayout, AnInstallationWhosePathIsOutsideTheAnsiCodePage)
{
    Release release;
    release.AddFile(L"bin\\app.dll", "app version 2", T(2026, 1, 10));
    ASSERT_EQ(0u, release.Publish());
    TempDir dir;
    const std::wstring root = dir / L"\x03A9\x03BC\x03AD\x03B3\x03B1 \x6587\x4EF6 \xD83D\xDE00";
    const HandMadeInstallation inst(root, L"bin", release.unc());
    WriteFileAt(root + L"\\bin\\app.dll", "app version 1", T(2025, 6, 1));
    EXPECT_EQ(0u, inst.Run());
    EXPECT_EQ("app version 2", ReadBytes(root + L"\\bin\\app.dll"));
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));
    EXPECT_TRUE(inst.ClientStarted());
    EXPECT_TRUE(Exists(root + L"\\bin\\QVSCliUpdate.log"));
}
