// A folder kept elsewhere through a folder link belongs to the installation: its
// files are judged by their own stamps, so a newer installed file stays and an
// older one is replaced through the link; a link back up the tree ends the walk.
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
class FolderLink : public Scenario
{
};
} // namespace

TEST_F(FolderLink, FilesBehindALinkAreJudgedByAgeAndALinkBackUpIsNotEnteredAgain)
{
    // The data folder lives on another disk of the host: the link names it there.
    const TempDir elsewhere(_wgetenv(L"QVS_UNC_LOCAL"));
    const FILETIME newer = T(2026, 3, 1);
    const FILETIME older = T(2025, 1, 1);
    WriteBytes(elsewhere / L"newer.dat", "installed, newer than the release", &newer);
    WriteBytes(elsewhere / L"older.dat", "installed, older than the release", &older);
    ASSERT_TRUE(MakeUnixLink(inst.root(), L"data", HostPath(elsewhere.path())));
    ASSERT_TRUE(MakeUnixLink(inst.bin(), L"loop", L".."));
    rel.Put(L"data\\newer.dat", "release", T(2026, 2, 1));
    rel.Put(L"data\\older.dat", "release", T(2026, 2, 1));
    rel.Put(L"data\\new.dat", "release", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());

    ExpectUpdate({{L"data\\older.dat"}, {L"data\\new.dat"}});
    EXPECT_EQ("installed, newer than the release", ReadBytes(elsewhere / L"newer.dat"));
    EXPECT_EQ("release", ReadBytes(elsewhere / L"older.dat"));
    EXPECT_EQ("release", ReadBytes(elsewhere / L"new.dat"));
    // The loop was shown as a folder and not entered.
    EXPECT_NE(std::string::npos, inst.Log().find("Reading directory..." + ToUtf8(inst.bin()) + "\\loop\r\n"));
    EXPECT_EQ(std::string::npos, inst.Log().find("\\loop\\"));
    ExpectClientOnly();
    RemoveUnixLink(inst.bin(), L"loop");
    RemoveUnixLink(inst.root(), L"data");
}
