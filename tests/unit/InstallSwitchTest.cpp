// The switch and the journal's next start, state by state: a start killed at any
// step of a switch (or of its putting back) leaves files that the next start's
// Recover turns into one release, whole; a folder where the release has a file is
// never moved.
#include "lib/InstallSwitch.h"

#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <map>

using namespace qvstest;

namespace
{
using Files = std::map<std::wstring, std::string>; // name -> bytes ("<dir>": a folder)

Files Read(const TempDir& dir)
{
    Files files;
    ForEachEntry(dir.path(),
                 [&](const WIN32_FIND_DATAW& fd)
                 {
                     const bool bFolder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                     files[fd.cFileName] = bFolder ? "<dir>" : ReadBytes(dir / fd.cFileName);
                 });
    return files;
}
} // namespace

TEST(InstallSwitch, EveryStepOfASwitchCutShortEndsInOneReleaseWhole)
{
    // Three files: a.dll and b.dll replaced, c.dll new; the steps a switch takes
    // one after the other, and where the next start finds them.
    const std::vector<std::pair<const char*, Files>> steps = {
        {"nothing moved",
         {{L"a.dll", "a1"}, {L"b.dll", "b1"}, {L"s.a", "a2"}, {L"s.b", "b2"}, {L"s.c", "c2"}}},
        {"a moved aside",
         {{L"x.a", "a1"}, {L"b.dll", "b1"}, {L"s.a", "a2"}, {L"s.b", "b2"}, {L"s.c", "c2"}}},
        {"a switched",
         {{L"x.a", "a1"}, {L"a.dll", "a2"}, {L"b.dll", "b1"}, {L"s.b", "b2"}, {L"s.c", "c2"}}},
        {"b moved aside",
         {{L"x.a", "a1"}, {L"a.dll", "a2"}, {L"x.b", "b1"}, {L"s.b", "b2"}, {L"s.c", "c2"}}},
        {"all switched",
         {{L"x.a", "a1"}, {L"a.dll", "a2"}, {L"x.b", "b1"}, {L"b.dll", "b2"}, {L"c.dll", "c2"}}},
    };
    const Files oldRelease = {{L"a.dll", "a1"}, {L"b.dll", "b1"}};
    const Files newRelease = {{L"a.dll", "a2"}, {L"b.dll", "b2"}, {L"c.dll", "c2"}};
    for (const bool bPutBack : {false, true})
    {
        for (const auto& [what, files] : steps)
        {
            SCOPED_TRACE(std::string(what) + (bPutBack ? ", putting back" : ", switching"));
            TempDir dir;
            const std::vector<SCSwitchEntry> entries = {
                {dir / L"a.dll", dir / L"s.a", dir / L"x.a"},
                {dir / L"b.dll", dir / L"s.b", dir / L"x.b"},
                {dir / L"c.dll", dir / L"s.c", L""}};
            for (const auto& [name, bytes] : files)
            {
                WriteBytes(dir / name, bytes);
            }
            const SCInstallJournal journal(dir.path());
            ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                      journal.Write(bPutBack ? SCInstallJournal::State::PutBack
                                             : SCInstallJournal::State::Switch,
                                    entries));
            SCInstallSwitch install(dir.path());
            const SCSwitchResult result = install.Recover();
            EXPECT_EQ(bPutBack ? SCSwitchResult::Outcome::PutBack
                               : SCSwitchResult::Outcome::Switched,
                      result.outcome);
            // The asides of a switched release are gone too: leftovers only.
            EXPECT_EQ(bPutBack ? oldRelease : newRelease, Read(dir));
            EXPECT_EQ(SCSwitchResult::Outcome::NoJournal, install.Recover().outcome);
        }
    }
    // A folder of the user's where the release has a file: the switch cannot take its
    // place, and is put back; the folder is never moved.
    TempDir dir;
    WriteBytes(dir / L"a.dll", "a1");
    WriteBytes(dir / L"s.a", "a2");
    MakeDirs(dir / L"b.dll");
    WriteBytes(dir / L"s.b", "b2");
    std::vector<SCSwitchEntry> entries = {{dir / L"a.dll", dir / L"s.a", L""},
                                          {dir / L"b.dll", dir / L"s.b", L""}};
    SCInstallSwitch::NameAsides(entries);
    EXPECT_FALSE(entries[0].strAside.empty());
    EXPECT_TRUE(entries[1].strAside.empty());
    const SCSwitchResult result = SCInstallSwitch(dir.path()).Switch(entries);
    EXPECT_EQ(SCSwitchResult::Outcome::PutBack, result.outcome);
    EXPECT_EQ(dir / L"b.dll", result.strFile);
    EXPECT_EQ((Files{{L"a.dll", "a1"}, {L"b.dll", "<dir>"}}), Read(dir));
}
