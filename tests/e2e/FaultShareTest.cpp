// Faults of the release share: files that cannot be read or are gone, the share
// vanishing in the middle of a run, and a full destination disk. Each run records
// "0" with the reason the log shows, keeps the files it could not replace as they
// were, and the next start tries again and completes once the fault is gone.
#include "tests/e2e/FaultFixture.h"

using namespace qvsfault;

namespace
{
class ShareFault : public FaultRun
{
protected:
    // Two installed files that the release replaces and one that it adds.
    void PrepareSmallUpdate()
    {
        Install(L"bin\\a.dll", "a version 1", T(2025, 6, 1));
        Install(L"bin\\b.dll", "b version 1", T(2025, 6, 1));
        Publish(L"bin\\a.dll", "a version 2", T(2026, 1, 10));
        Publish(L"bin\\b.dll", "b version 2", T(2026, 1, 10));
        Publish(L"bin\\c.dll", "c version 2", T(2026, 1, 10));
        ASSERT_EQ(0u, m_release.Publish());
    }
    std::wstring ReleaseFile(const std::wstring& relative) const
    {
        return m_release.local() + L"\\" + relative;
    }
};
} // namespace

TEST_F(ShareFault, AReleaseFileThatCannotBeReadIsRetriedOnceItCanBe)
{
    PrepareSmallUpdate();
    {
        // The publisher still writes it: nobody else may read it.
        UniqueFile held(CreateFileW(ReleaseFile(L"bin\\b.dll").c_str(), GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(0u, m_inst.Run());
    }
    ExpectEveryFileOldOrNew();
    EXPECT_EQ("b version 1", ReadInstalled(L"bin\\b.dll"));
    EXPECT_EQ("a version 2", ReadInstalled(L"bin\\a.dll"));
    EXPECT_EQ("c version 2", ReadInstalled(L"bin\\c.dll"));
    ExpectRecordedFailure();
    EXPECT_EQ(ReasonText(ERROR_SHARING_VIOLATION), Ini(L"UpdateFailureReason"));
    EXPECT_EQ("", Narrow(CopyLeftovers(m_inst.root())));
    // The copy failed, not the run: the client is started all the same.
    EXPECT_EQ(1u, m_inst.ClientStarts().size());

    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
}

TEST_F(ShareFault, AReleaseFileDeletedAfterTheListWasMadeFailsEveryRunUntilItIsBack)
{
    PrepareSmallUpdate();
    ASSERT_TRUE(DeleteFileW(ReleaseFile(L"bin\\b.dll").c_str()));
    ASSERT_TRUE(DeleteFileW(ReleaseFile(L"bin\\c.dll").c_str()));
    for (int run = 1; run <= 2; ++run)
    {
        SCOPED_TRACE("run " + std::to_string(run));
        EXPECT_EQ(0u, m_inst.Run());
        ExpectEveryFileOldOrNew();
        EXPECT_EQ("b version 1", ReadInstalled(L"bin\\b.dll"));
        EXPECT_FALSE(IsInstalled(L"bin\\c.dll"));
        EXPECT_EQ("a version 2", ReadInstalled(L"bin\\a.dll"));
        ExpectRecordedFailure();
        EXPECT_EQ(ReasonText(ERROR_FILE_NOT_FOUND), Ini(L"UpdateFailureReason"));
    }
    Publish(L"bin\\b.dll", "b version 2", T(2026, 1, 10));
    Publish(L"bin\\c.dll", "c version 2", T(2026, 1, 10));
    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    EXPECT_EQ(3u, m_inst.ClientStarts(3).size());
}

TEST_F(ShareFault, TheShareVanishingDuringTheCopyLosesNothingAndTheNextStartCompletes)
{
    PrepareLargeUpdate(24u << 20);
    const std::wstring gone = m_release.local() + L"-gone";
    {
        RunningProgram program(L"\"" + m_inst.updater() + L"\"");
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(WaitForTemporaryCopy(program, 1));
        // The server's folder disappears from under the share.
        ASSERT_TRUE(MoveFileW(m_release.local().c_str(), gone.c_str()));
        EXPECT_EQ(0u, program.Wait());
    }
    ExpectEveryFileOldOrNew();
    ExpectRecordedFailure();
    const std::wstring reason = Ini(L"UpdateFailureReason");
    EXPECT_TRUE(reason == ReasonText(ERROR_PATH_NOT_FOUND) ||
                reason == ReasonText(ERROR_FILE_NOT_FOUND) ||
                reason == ReasonText(ERROR_BAD_NETPATH))
        << ToUtf8(reason);
    EXPECT_EQ("", Narrow(CopyLeftovers(m_inst.root())));
    EXPECT_EQ(1u, m_inst.ClientStarts().size());

    // Still gone: the next start finds no release list and only starts the client.
    EXPECT_EQ(0u, m_inst.Run());
    ExpectEveryFileOldOrNew();
    EXPECT_EQ(L"0", Ini(L"UpdateSucceeded"));
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());

    // Back: the next start completes the update.
    ASSERT_TRUE(MoveFileW(gone.c_str(), m_release.local().c_str()));
    EXPECT_EQ(0u, m_inst.Run());
    ExpectCompleteUpdate();
    EXPECT_EQ(3u, m_inst.ClientStarts(3).size());
}

namespace
{
// A small file system mounted on the host for the life of the object (root may
// mount one; others cannot, and then mounted() is false).
class SmallDisk
{
public:
    SmallDisk(const std::wstring& folder, unsigned megabytes) : m_folder(folder)
    {
        MakeDirs(folder);
        const std::wstring host = HostPath(folder);
        if (host.empty() || !OnWine() ||
            !StartUnixProgram(L"Z:\\bin\\mount -t tmpfs -o size=" + std::to_wstring(megabytes) +
                                  L"m qvs-small-disk \"" + host + L"\"",
                              L"Z:\\"))
        {
            return;
        }
        m_mounted =
            WaitUntil([this, megabytes] { return Total() == megabytes * 1048576ull; }, 5000);
    }
    ~SmallDisk()
    {
        if (m_mounted)
        {
            const ULONGLONG size = Total();
            StartUnixProgram(L"Z:\\bin\\umount \"" + HostPath(m_folder) + L"\"", L"Z:\\");
            WaitUntil([this, size] { return Total() != size; }, 10000);
        }
        RemoveTree(m_folder);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return m_mounted; }
    ULONGLONG Free() const
    {
        ULARGE_INTEGER free{};
        GetDiskFreeSpaceExW((m_folder + L"\\").c_str(), &free, nullptr, nullptr);
        return free.QuadPart;
    }

private:
    ULONGLONG Total() const
    {
        ULARGE_INTEGER total{};
        GetDiskFreeSpaceExW((m_folder + L"\\").c_str(), nullptr, &total, nullptr);
        return total.QuadPart;
    }

    std::wstring m_folder;
    bool m_mounted = false;
};
} // namespace

TEST(DiskFull, AFullDestinationDiskKeepsTheOldFilesAndTheNextStartCompletes)
{
    Release release;
    const SmallDisk disk(release.local() + L"-disk", 16);
    if (!disk.mounted())
    {
        GTEST_SKIP() << "no small file system can be mounted here (needs root on the host)";
    }
    const HandMadeInstallation inst(release.local() + L"-disk\\root", L"bin", release.unc());
    const std::wstring app = inst.root + L"\\bin\\app.dll";
    const std::wstring small = inst.root + L"\\bin\\small.dll";
    WriteFileAt(app, "app version 1", T(2025, 6, 1));
    WriteFileAt(small, "small version 1", T(2025, 6, 1));
    const std::string bigger = Content(4u << 20, "app version 2");
    release.AddFile(L"bin\\app.dll", bigger, T(2026, 1, 10));
    release.AddFile(L"bin\\small.dll", "small version 2", T(2026, 1, 10));
    ASSERT_EQ(0u, release.Publish());
    // Fill the disk but for room enough for the lists, the log and QVS.ini.
    const std::wstring filler = inst.root + L"\\filler.bin";
    WriteBytes(filler, std::string(static_cast<size_t>(disk.Free() - (1u << 20)), 'f'));
    ASSERT_LT(disk.Free(), 2ull << 20);

    EXPECT_EQ(0u, inst.Run());
    EXPECT_EQ("app version 1", ReadBytes(app));
    EXPECT_EQ("small version 2", ReadBytes(small));
    EXPECT_EQ(L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(ReasonText(ERROR_DISK_FULL), inst.Ini(L"UpdateFailureReason"));
    const std::string log = ReadBytes(inst.root + L"\\bin\\QVSCliUpdate.log");
    EXPECT_NE(std::string::npos, log.find("Error!.." + ToUtf8(ReasonText(ERROR_DISK_FULL)))) << log;
    EXPECT_EQ("", Narrow(CopyLeftovers(inst.root)));
    EXPECT_TRUE(inst.ClientStarted());

    ASSERT_TRUE(DeleteFileW(filler.c_str()));
    EXPECT_EQ(0u, inst.Run());
    EXPECT_TRUE(ReadBytes(app) == bigger);
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ("", Narrow(CopyLeftovers(inst.root)));
}
