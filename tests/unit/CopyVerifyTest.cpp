// The copy checked against the release record: a file that matches its line is
// installed; one that does not, or that the record does not name, is refused,
// the installed file kept and nothing left behind, while the run goes on.
#include "lib/FileIterator.h"

#include "lib/Miscellaneous.h"
#include "lib/ReleaseRecord.h"
#include "tests/unit/FileIteratorTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using qvstest::TempDir;
using qvswalktest::MessageRecorder;
using qvswalktest::RecordMessage;
using qvswalktest::UpperCase;

namespace
{
// Larger than the pieces the copy is read back in.
const std::string kRelease = std::string(300000, 'r') + "release";
const std::string kInstalled = "the installed version";
const std::string kOther = "another file of the release";

SCReleaseRecord::Item ItemOf(const std::string& bytes)
{
    SCReleaseRecord::Item item;
    item.nSize = bytes.size();
    EXPECT_TRUE(SCSha256::HashBytes(bytes.data(), bytes.size(), item.digest));
    return item;
}

bool HasLeftovers(const std::wstring& folder)
{
    for (const std::wstring& name : qvswalktest::FileNames(folder))
    {
        if (SCFileIterator::IsCopyLeftoverName(name))
        {
            return true;
        }
    }
    return false;
}
} // namespace

TEST(CopyVerify, OnlyWhatMatchesTheRecordReplacesTheInstalledFile)
{
    const struct
    {
        const char* what;
        std::function<void(std::string&)> changeFile; // after the record was made
        std::function<void(SCReleaseRecord::Item&)> changeLine;
        bool bNamed;      // the record has a line for the file
        bool bWithRecord; // the copy is given the record
        bool bInstalled;
    } cases[] = {
        {"matches", {}, {}, true, true, true},
        {"one bit flipped", [](std::string& b) { b[150000] ^= 0x08; }, {}, true, true, false},
        {"cut short", [](std::string& b) { b.resize(100000); }, {}, true, true, false},
        {"same-size replacement", [](std::string& b) { b.assign(b.size(), 'x'); }, {}, true, true,
         false},
        {"not named by the record", {}, {}, false, true, false},
        {"line's hash differs in its last byte", {},
         [](SCReleaseRecord::Item& i) { i.digest.back() ^= 1; }, true, true, false},
        {"line's size one more", {}, [](SCReleaseRecord::Item& i) { ++i.nSize; }, true, true,
         false},
        {"changed, without a record", [](std::string& b) { b[0] = 'X'; }, {}, true, false, true},
    };
    const FILETIME ftInstalled = qvstest::FileTimeFromUtc(2026, 1, 15, 9, 0, 0);
    const FILETIME ftRelease = qvstest::FileTimeFromUtc(2026, 7, 4, 21, 59, 45);
    for (const auto& c : cases)
    {
        TempDir release;
        TempDir install;
        qvstest::MakeDirs(release / L"bin");
        qvstest::MakeDirs(install / L"bin");
        SetAppFolderForTesting(install / L"bin\\");
        const std::wstring releaseBin = release / L"bin\\";
        const std::wstring installed = install / L"bin\\app.dll";
        qvstest::WriteBytes(installed, kInstalled);
        qvstest::SetLastWriteTime(installed, ftInstalled);

        std::wstring text = SCReleaseRecord::FormatFirstLine(SCSha256::Digest{});
        text += SCReleaseRecord::FormatLine(releaseBin, L"other.dll", ItemOf(kOther));
        SCReleaseRecord::Item item = ItemOf(kRelease);
        if (c.changeLine)
        {
            c.changeLine(item);
        }
        if (c.bNamed)
        {
            text += SCReleaseRecord::FormatLine(releaseBin, L"app.dll", item);
        }
        SCReleaseRecord record;
        ASSERT_TRUE(record.Parse(qvstest::Utf16Bytes(text)));

        std::string bytes = kRelease;
        if (c.changeFile)
        {
            c.changeFile(bytes);
        }
        qvstest::WriteBytes(releaseBin + L"app.dll", bytes);
        qvstest::SetLastWriteTime(releaseBin + L"app.dll", ftRelease);
        qvstest::WriteBytes(releaseBin + L"other.dll", kOther);

        FileList plan;
        for (const wchar_t* name : {L"app.dll", L"other.dll"})
        {
            auto pEntry = std::make_unique<FileListEntry>();
            pEntry->folder = releaseBin;
            pEntry->name = name;
            pEntry->target = install / L"bin\\";
            plan.push_back(std::move(pEntry));
        }
        MessageRecorder recorder;
        const BOOL bResult = SCFileIterator::CopyFiles(&plan, &RecordMessage, nullptr,
                                                       c.bWithRecord ? &record : nullptr);
        SetAppFolderForTesting(L"");

        EXPECT_EQ(c.bInstalled, bResult != FALSE) << c.what;
        EXPECT_EQ(c.bInstalled ? 0u : SCFileIterator::kNotReleaseError,
                  SCFileIterator::GetFirstCopyError())
            << c.what;
        EXPECT_EQ(c.bInstalled ? bytes : kInstalled, qvstest::ReadBytes(installed)) << c.what;
        const FILETIME ftNow = qvstest::GetLastWriteTime(installed);
        const FILETIME& ftExpected = c.bInstalled ? ftRelease : ftInstalled;
        EXPECT_EQ(0, CompareFileTime(&ftExpected, &ftNow)) << c.what;
        EXPECT_EQ(kOther, qvstest::ReadBytes(install / L"bin\\other.dll")) << c.what;
        EXPECT_FALSE(HasLeftovers(install / L"bin")) << c.what;
        ASSERT_EQ(2u, recorder.messages.size()) << c.what;
        const std::wstring& message = recorder.messages[0];
        if (c.bInstalled)
        {
            EXPECT_EQ(L"Copying..." + UpperCase(releaseBin + L"app.dll"), message) << c.what;
        }
        else
        {
            EXPECT_EQ(L"Error!.." + UpperCase(releaseBin + L"app.dll") +
                          L" does not match the release: it was not installed.\r\n",
                      message)
                << c.what;
        }
    }
}
