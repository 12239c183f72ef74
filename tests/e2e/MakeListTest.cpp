// QVSMakeList.exe as an administrator runs it (the scenarios publish every release
// with it): the folders it refuses, a file it cannot read, the leftovers of
// stopped runs.
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
struct Output
{
    DWORD exitCode;
    std::wstring out;
    std::wstring err;
};

Output MakeList(const std::wstring& arguments)
{
    Program::Options options;
    options.capture = true;
    Program tool(L"\"" + ExeFolder() + L"QVSMakeList.exe\" " + arguments, options);
    const DWORD exitCode = tool.Wait();
    return {exitCode, tool.out(), tool.err()};
}
} // namespace

TEST(MakeList, RefusesWhatCannotBeAReleaseAndKeepsTheOldListWhenAFileCannotBeRead)
{
    TempDir dir;
    const std::wstring release = dir / L"Release";
    const std::wstring list = release + L"\\HotUpdateFileList_Server.txt";
    WriteBytes(release + L"\\a.txt", "a");
    const struct
    {
        std::wstring arguments;
        DWORD exitCode;
        const wchar_t* says;
    } refused[] = {
        {L"\"" + release + L"\\missing\"", 2, L"cannot be found"},
        {L"C:\\", 1, L"root folder of its drive"},
        {L"\\\\SRV01\\Release", 1, L"not a path on a local drive"},
        {L"--bogus \"" + release + L"\"", 1, L"unknown option --bogus"},
    };
    for (const auto& c : refused)
    {
        const Output run = MakeList(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << ToUtf8(c.arguments);
        EXPECT_NE(std::wstring::npos, run.err.find(c.says)) << ToUtf8(run.err);
        EXPECT_EQ(L"", run.out);
        EXPECT_FALSE(Exists(list));
    }

    // A file it cannot read: exit code 3, the file named, the old list kept.
    const std::wstring old = L"\\\\SRV01\\Release\\\t\ta.txt\t\t01/01/20 00:00:00\r\n";
    WriteUtf16(list, old);
    WriteBytes(release + L"\\locked.dll", "l");
    {
        const UniqueFile held(CreateFileW((release + L"\\locked.dll").c_str(), GENERIC_READ, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        const Output run = MakeList(L"\"" + release + L"\"");
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_NE(std::wstring::npos, run.err.find(L"locked.dll")) << ToUtf8(run.err);
    }
    EXPECT_EQ(old, ReadUtf16(list));
    EXPECT_FALSE(Exists(release + L"\\HotUpdateFileList_Server.sha256"));

    // Readable again: the list replaces the old one; the temporary files of a
    // stopped run and of a stopped copy are neither left nor listed.
    WriteBytes(release + L"\\~QVSMakeList-fffffff1.tmp", "half a list");
    WriteBytes(release + L"\\bin\\~QVSCopy-fffffff1-3.tmp", "half a copy");
    const Output run = MakeList(L"\"" + release + L"\"");
    EXPECT_EQ(0u, run.exitCode) << ToUtf8(run.err);
    const std::wstring source = L"\\\\" + ComputerName() + release.substr(2);
    EXPECT_NE(std::wstring::npos, run.out.find(L"2 files in 2 folders")) << ToUtf8(run.out);
    EXPECT_NE(std::wstring::npos, run.out.find(L"(SourceFolder=" + source + L")")) << ToUtf8(run.out);
    EXPECT_FALSE(Exists(release + L"\\~QVSMakeList-fffffff1.tmp"));
    const std::wstring text = ReadUtf16(list);
    EXPECT_EQ(0u, text.find(source + L"\\\t\t")) << ToUtf8(text);
    EXPECT_NE(std::wstring::npos, text.find(L"\t\tlocked.dll\t\t")) << ToUtf8(text);
    EXPECT_NE(std::wstring::npos, text.find(L"\t\ta.txt\t\t")) << ToUtf8(text);
    EXPECT_EQ(std::wstring::npos, text.find(L"~QVS")) << ToUtf8(text);
    EXPECT_TRUE(Exists(release + L"\\HotUpdateFileList_Server.sha256"));
}
