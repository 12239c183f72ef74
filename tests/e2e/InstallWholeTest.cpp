// A release is installed whole or not at all, whatever holds its files: the program
// running (a release that ships a new QVSCliUpdate.exe) and a library another
// program holds loaded are moved aside and replaced; a file held open without
// sharing puts every file back, and the next start installs the release whole once
// it is free; a start killed in the middle of the switch is finished by the next.
// (A release too large for its disk: Retry's FullDisk.)
#include "lib/Sha256.h"
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
std::string Digest(const std::string& bytes)
{
    SCSha256::Digest digest{};
    SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
    std::string hex;
    for (const unsigned char byte : digest)
    {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

class InstallWhole : public Scenario
{
protected:
    // The temporary files in the installation's bin folder, by their bytes' SHA-256.
    std::multiset<std::string> AsideFiles() const
    {
        std::multiset<std::string> found;
        ForEachEntry(inst.bin(),
                     [&](const WIN32_FIND_DATAW& fd)
                     {
                         if (std::wstring(fd.cFileName).starts_with(L"~QVSCopy-"))
                         {
                             found.insert(Digest(ReadBytes(inst.bin() + L"\\" + fd.cFileName)));
                         }
                     });
        return found;
    }
};
} // namespace

TEST_F(InstallWhole, TheRunningUpdaterAndALoadedLibraryAreMovedAsideAndReplaced)
{
    const std::string updater = ReadBytes(inst.bin() + L"\\QVSCliUpdate.exe");
    inst.Put(L"bin\\QVSCliUpdate.exe", updater, T(2025, 6, 1));
    const std::string library = ReadBytes(ExeFolder() + L"ProbeLibrary.dll");
    inst.Put(L"bin\\probe.dll", library + "as installed", T(2025, 6, 1));
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    // Bytes after an image change nothing of what it does: a new build of each.
    rel.Put(L"bin\\QVSCliUpdate.exe", updater + "release 1", T(2026, 1, 10));
    rel.Put(L"bin\\probe.dll", library + "release 1", T(2026, 1, 10));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    Program::Options capture;
    capture.capture = true;
    Program holder(L"\"" + ExeFolder() + L"HoldLibrary.exe\" \"" + inst.Path(L"bin\\probe.dll") +
                       L"\"",
                   capture);
    ASSERT_TRUE(WaitUntil([&] { return holder.out().starts_with(L"loaded"); }, 20000))
        << ToUtf8(holder.out());
    // Windows refuses to replace the loaded library in one step, as Wine does.
    const std::wstring other = inst.root() + L"-other.dll";
    WriteBytes(other, "other");
    EXPECT_FALSE(MoveFileExW(other.c_str(), inst.Path(L"bin\\probe.dll").c_str(),
                             MOVEFILE_REPLACE_EXISTING));
    DeleteFileW(other.c_str());

    const Before before = Take();
    Program program(inst.Command(), Program::CountingWindows());
    ASSERT_EQ(0u, program.Wait());
    Tree expected = before.tree;
    for (const wchar_t* file : {L"bin\\QVSCliUpdate.exe", L"bin\\probe.dll", L"bin\\app.dll"})
    {
        expected[file] = before.release.at(file);
    }
    Tree after = Scan(inst.root(), inst.Volatile());
    std::erase_if(after, [](const auto& item)
                  { return item.first.find(L"~QVSCopy-") != std::wstring::npos; });
    EXPECT_EQ("", Differences(expected, after));
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));
    // The two files in use stay beside their successors until they are free.
    EXPECT_EQ((std::multiset<std::string>{Digest(updater), Digest(library + "as installed")}),
              AsideFiles());
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() == before.nStarts + 1; }, 10000));

    // The next start is the new program; the library let go, a forced run removes
    // what was moved aside, and copies nothing.
    holder.Kill();
    ExpectUpdate({}, L"/force");
    EXPECT_TRUE(AsideFiles().empty());
}

TEST_F(InstallWhole, AFileHeldWithoutSharingPutsEveryFileBackUntilItIsFree)
{
    std::vector<Copy> copies;
    for (const wchar_t* file :
         {L"bin\\app.dll", L"bin\\lib.dll", L"data\\data.dat", L"data\\more.dat"})
    {
        inst.Put(file, "old", T(2025, 6, 1));
        rel.Put(file, "new", T(2026, 1, 10));
        copies.push_back({file});
    }
    rel.Put(L"bin\\new.dll", "new", T(2026, 1, 10));
    copies.push_back({L"bin\\new.dll"});
    ASSERT_EQ(0u, rel.Publish());
    // The last installed file in the switch's order is held, as a client holds its
    // data: every file before it has taken its place (the first, read-only) when it
    // is refused.
    std::vector<std::wstring> order = Take().copyOrder;
    std::erase(order, L"bin\\new.dll");
    const std::wstring held = order.back();
    SetFileAttributesW(inst.Path(order.front()).c_str(), FILE_ATTRIBUTE_READONLY);
    {
        const UniqueFile holding(CreateFileW(inst.Path(held).c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holding.valid());
        for (Copy& copy : copies)
        {
            copy.error = copy.file == held ? kHeld : ERROR_SUCCESS;
        }
        ExpectUpdate(copies);
    }
    // Free again: the next start installs the release whole.
    for (Copy& copy : copies)
    {
        copy.error = ERROR_SUCCESS;
    }
    ExpectUpdate(copies);
}

TEST_F(InstallWhole, AStartKilledInTheSwitchIsFinishedByTheNext)
{
    std::vector<std::wstring> files;
    for (int i = 1; i <= 4; ++i)
    {
        files.push_back(L"bin\\file" + std::to_wstring(i) + L".dll");
        inst.Put(files.back(), "old", T(2025, 6, 1));
        rel.Put(files.back(), Content(200000, "new " + std::to_string(i)), T(2026, 1, 10));
    }
    ASSERT_EQ(0u, rel.Publish());
    const Before before = Take();
    {
        // Four staged copies, then the files moved aside one by one; the third is
        // held a moment, as a virus scanner holds a file, and the start is killed
        // while it waits for it, two files switched.
        const UniqueFile scanner(CreateFileW(inst.Path(before.copyOrder[2]).c_str(), GENERIC_READ,
                                             0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(scanner.valid());
        CopyWatch watch(inst.root());
        Program program(inst.Command());
        ASSERT_TRUE(watch.WaitFor(program, files.size() + 2, {L"bin"}));
        Sleep(300);
        ASSERT_TRUE(program.Kill()) << "the run ended before it could be killed";
    }
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(before.nStarts, inst.ClientStarts().size());

    // The next start completes the switch, says so first, then runs the release,
    // which finds nothing left to copy.
    Program next(inst.Command(), Program::CountingWindows());
    ASSERT_EQ(0u, next.Wait()) << inst.Log();
    EXPECT_EQ(0u, inst.Log().find("The install of a release that an earlier start left half-way "
                                  "was completed.\r\n"))
        << inst.Log();
    EXPECT_EQ(std::string::npos, inst.Log().find("Copying...")) << inst.Log();
    Tree expected = before.tree;
    for (const std::wstring& file : files)
    {
        expected[file] = before.release.at(file);
    }
    EXPECT_EQ("", Differences(expected, Scan(inst.root(), inst.Volatile())));
    EXPECT_FALSE(Exists(inst.Path(L"HotUpdateInstall.journal")));
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() == before.nStarts + 1; }, 10000));
}
