// Nothing is written outside the installation: server lists come from the
// network, and a name or folder that would climb out is refused.
#include "lib/FileIterator.h"

#include "lib/Miscellaneous.h"
#include "tests/unit/FileIteratorTestSupport.h"

#include <gtest/gtest.h>

using qvstest::TempDir;
using qvswalktest::HiddenDialogWindow;
using qvswalktest::MessageRecorder;
using qvswalktest::RecordMessage;

namespace
{
bool Accepted(const std::wstring& target, const std::wstring& name)
{
    return SCFileIterator::CheckCopyDestination(L"C:\\Client", target, name).empty();
}
} // namespace

TEST(CopySafety, PlainNamesBelowTheRootAreAccepted)
{
    EXPECT_TRUE(Accepted(L"C:\\Client\\", L"app.dll"));
    EXPECT_TRUE(Accepted(L"C:\\Client\\bin\\", L"QVS.exe"));
    EXPECT_TRUE(Accepted(L"c:\\client\\Sub Folder\\deeper\\", L"name with spaces.txt"));
    EXPECT_TRUE(Accepted(L"C:\\Client\\bin\\", L".hidden"));
    EXPECT_TRUE(Accepted(L"C:\\Client\\bin\\", L"console.dll"));
    EXPECT_TRUE(Accepted(L"C:\\Client\\bin\\", L"COM10.txt"));
    EXPECT_TRUE(Accepted(L"C:\\Client\\bin\\", L"a..b.txt"));
    EXPECT_TRUE(SCFileIterator::CheckCopyDestination(L"D:", L"D:\\bin\\", L"x.dll").empty());
}

TEST(CopySafety, NamesThatAreNoPlainFileNamesAreRefused)
{
    for (const wchar_t* name : {L"",
                                L".",
                                L"..",
                                L"...",
                                L"..\\evil.dll",
                                L"sub\\x.dll",
                                L"sub/x.dll",
                                L"../x.dll",
                                L"C:evil.dll",
                                L"app.dll:stream",
                                L"app.dll::$DATA",
                                L"\\\\srv\\share\\x.dll",
                                L"C:\\Windows\\x.dll",
                                L"trailing.",
                                L"trailing ",
                                L"wild*.dll",
                                L"what?.dll",
                                L"pipe|.dll",
                                L"tab\t.dll",
                                L"quote\".dll",
                                L"<x>.dll"})
    {
        const std::wstring reason =
            SCFileIterator::CheckCopyDestination(L"C:\\Client", L"C:\\Client\\bin\\", name);
        EXPECT_FALSE(reason.empty()) << "accepted: " << qvstest::ToUtf8(name);
    }
}

TEST(CopySafety, DeviceNamesAreRefusedWithOrWithoutExtension)
{
    for (const wchar_t* name :
         {L"CON", L"con", L"PRN", L"AUX", L"NUL", L"nul.txt", L"COM1", L"com9.log", L"LPT1",
          L"lpt3.dll", L"COM\u00B9", L"CONIN$", L"CONOUT$", L"NUL .txt", L"aux.tar.gz"})
    {
        const std::wstring reason =
            SCFileIterator::CheckCopyDestination(L"C:\\Client", L"C:\\Client\\bin\\", name);
        EXPECT_NE(std::wstring::npos, reason.find(L"device")) << qvstest::ToUtf8(name);
    }
}

TEST(CopySafety, TargetsOutsideTheRootOrClimbingOutAreRefused)
{
    for (const wchar_t* target :
         {L"C:\\Windows\\", L"C:\\", L"C:\\Client", L"C:\\ClientX\\", L"D:\\Client\\",
          L"C:\\Client\\..\\Windows\\", L"C:\\Client\\bin\\..\\..\\", L"C:\\Client\\.\\bin\\",
          L"C:\\Client\\bin/../../", L"C:\\Client\\bin:ads\\", L"C:\\Client\\CON\\",
          L"\\\\?\\C:\\Client\\bin\\", L"\\\\SRV01\\Release\\", L"bin\\", L"",
          L"C:\\Client\\bin.\\", L"C:\\Client\\*\\"})
    {
        const std::wstring reason =
            SCFileIterator::CheckCopyDestination(L"C:\\Client", target, L"app.dll");
        EXPECT_NE(std::wstring::npos, reason.find(L"not inside the installation"))
            << qvstest::ToUtf8(target);
    }
}

TEST(CopySafety, WithoutAKnownRootNothingIsAccepted)
{
    EXPECT_FALSE(SCFileIterator::CheckCopyDestination(L"", L"C:\\Client\\", L"a.dll").empty());
}

TEST(CopySafety, RefusedEntriesAreReportedCountAsFailedAndWriteNothing)
{
    TempDir release;
    TempDir parent;
    const std::wstring root = parent / L"Client";
    qvstest::MakeDirs(root + L"\\bin");
    SetAppFolderForTesting(root + L"\\bin\\");
    qvstest::WriteBytes(release / L"evil.dll", "evil");
    qvstest::WriteBytes(release / L"good.dll", "good");

    FileList plan;
    const auto add = [&](const std::wstring& name, const std::wstring& target)
    {
        auto pEntry = std::make_unique<FileListEntry>();
        pEntry->folder = release.path() + L"\\";
        pEntry->name = name;
        pEntry->target = target;
        plan.push_back(std::move(pEntry));
    };
    add(L"evil.dll", root + L"\\..\\");      // would land beside the installation
    add(L"..\\evil.dll", root + L"\\bin\\"); // so would this
    add(L"NUL", root + L"\\bin\\");
    add(L"good.dll", root + L"\\bin\\");
    MessageRecorder recorder;
    HiddenDialogWindow window;
    EXPECT_FALSE(SCFileIterator::CopyFiles(&plan, &RecordMessage, &window));
    SetAppFolderForTesting(L"");

    EXPECT_FALSE(qvstest::Exists(parent / L"evil.dll"));
    EXPECT_EQ("good", qvstest::ReadBytes(root + L"\\bin\\good.dll"));
    EXPECT_EQ(std::vector<std::wstring>{L"good.dll"}, qvswalktest::FileNames(root + L"\\bin"));
    ASSERT_EQ(4u, recorder.messages.size());
    for (size_t i = 0; i < 3; ++i)
    {
        const std::wstring& message = recorder.messages[i];
        EXPECT_EQ(0u, message.find(L"Error!.." + release.path() + L"\\" + plan[i]->name +
                                   L" was not copied: "))
            << qvstest::ToUtf8(message);
        EXPECT_TRUE(message.ends_with(L"\r\n"));
    }
    EXPECT_EQ(0u, recorder.messages[3].find(L"Copying..."));
    EXPECT_EQ(1, window.TakeLaunchMessages());
}
