// Files that are not what was published (damaged, cut short, replaced after the
// list was made) are never installed, nor is anything else of their release; once
// the share is mended the next start installs the release whole. A release
// without its record, or with another list's, installs as before and says so.
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
class ReleaseRecord : public Scenario
{
};
} // namespace

TEST_F(ReleaseRecord, FilesThatDoNotMatchAreRefusedUntilTheShareIsMended)
{
    const FILETIME stamp = T(2026, 1, 10);
    const std::vector<std::wstring> files = {L"bin\\flipped.dll", L"bin\\short.dll",
                                             L"bin\\replaced.dll", L"bin\\sound.dll",
                                             L"docs\\new.txt"};
    for (const std::wstring& file : files)
    {
        inst.Put(file, "installed", T(2025, 6, 1));
        rel.Put(file, Content(20000, ToUtf8(file)), stamp);
    }
    RemoveTree(inst.Path(L"docs"));
    ASSERT_EQ(0u, rel.Publish());
    Take(); // the release as published
    // After publishing: one bit flipped, a file cut short, one replaced by other
    // bytes of the same size; each keeps its stamp.
    const auto damage = [&](const std::wstring& file, const std::function<void(std::string&)>& how)
    {
        std::string bytes = ReadBytes(rel.Path(file));
        how(bytes);
        WriteBytes(rel.Path(file), bytes, &stamp);
    };
    damage(L"bin\\flipped.dll", [](std::string& b) { b[12345] ^= 0x10; });
    damage(L"bin\\short.dll", [](std::string& b) { b.resize(b.size() / 2); });
    damage(L"bin\\replaced.dll", [](std::string& b) { b.assign(b.size(), 'x'); });
    std::vector<Copy> copies;
    for (const std::wstring& file : files)
    {
        const bool bSound = file == L"bin\\sound.dll" || file == L"docs\\new.txt";
        copies.push_back({file, bSound ? ERROR_SUCCESS : kNotRelease});
    }
    ExpectUpdate(copies);
    // The copies stop at the first damaged one: mended one by one, each of the others
    // is refused in its turn, and nothing of the release is installed meanwhile.
    for (const std::wstring& file : Take().copyOrder)
    {
        const auto damaged = std::find_if(copies.begin(), copies.end(), [&](const Copy& c)
                                          { return c.file == file && c.error == kNotRelease; });
        if (damaged == copies.end())
        {
            continue;
        }
        rel.Put(file, Content(20000, ToUtf8(file)), stamp);
        damaged->error = ERROR_SUCCESS;
        if (std::any_of(copies.begin(), copies.end(), [](const Copy& c) { return c.error != 0; }))
        {
            ExpectUpdate(copies);
        }
    }
    // Mended, after three failed runs of the release: the administrator publishes
    // it again, and the next start installs it whole.
    ASSERT_EQ(0u, rel.Publish());
    ExpectUpdate(copies);
}

TEST_F(ReleaseRecord, WithoutItsRecordOrWithAnotherListsAReleaseInstallsAndSaysSo)
{
    inst.Put(L"bin\\app.dll", "app 1", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    const std::wstring record = rel.Path(L"HotUpdateFileList_Server.sha256");
    const std::string older = ReadBytes(record);
    ASSERT_TRUE(DeleteFileW(record.c_str()));
    unverified = L"The copied files were not verified: the release folder " + rel.unc() +
                 L" has no record of their sizes and hashes.";
    ExpectUpdate({{L"bin\\app.dll"}});

    // A newer release beside the record of the one before.
    rel.Put(L"bin\\app.dll", "app 3", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());
    WriteBytes(record, older);
    unverified = L"The copied files were not verified: the release record " + rel.unc() +
                 L"\\HotUpdateFileList_Server.sha256 belongs to another release list.";
    ExpectUpdate({{L"bin\\app.dll"}});
}
