// The real program over a real installation and a release reached through a UNC
// path: every outcome a start can have.
#include "tests/support/DialogProbe.h"
#include "tests/support/Installation.h"
#include "tests/support/Release.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <vector>

using namespace qvstest;

namespace
{
FILETIME T(WORD year, WORD month, WORD day, WORD hour = 12)
{
    return FileTimeFromUtc(year, month, day, hour, 0, 0);
}

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return CompareFileTime(&a, &b) == 0;
}

std::wstring IniValue(const Installation& inst, const wchar_t* key)
{
    wchar_t value[1024] = {};
    GetPrivateProfileStringW(L"HotUpdate", key, L"<missing>", value, 1024, inst.ini().c_str());
    return value;
}

std::wstring Upper(std::wstring text)
{
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// An installation with two installed files and a release that changes one,
// keeps one and adds two.
class UpdateRun : public testing::Test
{
protected:
    void SetUp() override
    {
        m_release.AddFile(L"bin\\app.dll", "app version 2", T(2026, 1, 10));
        m_release.AddFile(L"bin\\same.dll", "same", T(2026, 1, 1));
        m_release.AddFile(L"bin\\new.dll", "new file", T(2026, 1, 11));
        m_release.AddFile(L"sub\\deep\\notes.txt", "deep new file", T(2026, 1, 12));
        ASSERT_EQ(0u, m_release.Publish());

        Install(L"bin\\app.dll", "app version 1", T(2025, 6, 1));
        Install(L"bin\\same.dll", "same", T(2026, 1, 1));
        m_inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=" + m_release.unc() + L"\r\n");
    }

    void Install(const std::wstring& relative, const std::string& content, const FILETIME& ft)
    {
        const std::wstring path = m_inst.root() + L"\\" + relative;
        MakeDirs(path.substr(0, path.rfind(L'\\')));
        WriteBytes(path, content);
        SetLastWriteTime(path, ft);
    }

    std::wstring Installed(const std::wstring& relative) const
    {
        return m_inst.root() + L"\\" + relative;
    }

    std::wstring LocalListCopy() const { return m_inst.root() + L"\\HotUpdateFileList_Server.txt"; }

    Release m_release;
    Installation m_inst;
};
} // namespace

TEST_F(UpdateRun, EveryPlannedCopySucceeds)
{
    EXPECT_EQ(0u, m_inst.Run());
    ASSERT_EQ(1u, m_inst.ClientStarts().size());

    // Newer and new files are in place with the release's stamps; the same one is untouched.
    EXPECT_EQ("app version 2", ReadBytes(Installed(L"bin\\app.dll")));
    EXPECT_TRUE(SameTime(T(2026, 1, 10), GetLastWriteTime(Installed(L"bin\\app.dll"))));
    EXPECT_EQ("new file", ReadBytes(Installed(L"bin\\new.dll")));
    EXPECT_EQ("deep new file", ReadBytes(Installed(L"sub\\deep\\notes.txt")));
    EXPECT_TRUE(SameTime(T(2026, 1, 12), GetLastWriteTime(Installed(L"sub\\deep\\notes.txt"))));
    EXPECT_EQ("same", ReadBytes(Installed(L"bin\\same.dll")));

    // The local copy of the release list records the release that was seen.
    const std::wstring releaseList = m_release.local() + L"\\HotUpdateFileList_Server.txt";
    EXPECT_EQ(ReadBytes(releaseList), ReadBytes(LocalListCopy()));
    EXPECT_TRUE(SameTime(GetLastWriteTime(releaseList), GetLastWriteTime(LocalListCopy())));
    // The client list describes the installation as it was found.
    const std::wstring clientList = ReadUtf16(m_inst.root() + L"\\HotUpdateFileList_Client.txt");
    EXPECT_NE(std::wstring::npos, clientList.find(L"\t\tapp.dll\t\t"));
    EXPECT_EQ(std::wstring::npos, clientList.find(L"QVSCliUpdate.log"));

    EXPECT_EQ(L"1", IniValue(m_inst, L"UpdateSucceeded"));
    EXPECT_TRUE(
        std::regex_match(IniValue(m_inst, L"UpdateDateTime"),
                         std::wregex(L"\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}")));
    EXPECT_EQ(L"", IniValue(m_inst, L"UpdateFailureReason"));

    // The log: the walk's folders, the saved list, then one line per copied file.
    const std::string log = ReadBytes(m_inst.log());
    const std::string root = ToUtf8(m_inst.root());
    const size_t reading = log.find("Reading directory..." + root + "\\bin\r\n\r\n");
    const size_t saving =
        log.find("Saving to file to ...." + root + "\\HotUpdateFileList_Client.txt\r\n\r\n\r\n");
    const size_t copying = log.find("Copying..." + ToUtf8(Upper(m_release.unc())) + "\\BIN\\");
    EXPECT_NE(std::string::npos, reading) << log;
    EXPECT_NE(std::string::npos, saving) << log;
    EXPECT_NE(std::string::npos, copying) << log;
    EXPECT_LT(reading, saving);
    EXPECT_LT(saving, copying);
    size_t copies = 0;
    for (size_t pos = 0; (pos = log.find("Copying...", pos)) != std::string::npos; ++pos)
    {
        ++copies;
    }
    EXPECT_EQ(3u, copies);
    EXPECT_EQ(std::string::npos, log.find("Error!.."));
}

TEST_F(UpdateRun, ASecondStartOnTheSameReleaseOnlyStartsTheClient)
{
    ASSERT_EQ(0u, m_inst.Run());
    ASSERT_EQ(1u, m_inst.ClientStarts().size());
    const std::string ini = ReadBytes(m_inst.ini());
    const std::string clientList = ReadBytes(m_inst.root() + L"\\HotUpdateFileList_Client.txt");

    EXPECT_EQ(0u, m_inst.Run());
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
    EXPECT_EQ(ini, ReadBytes(m_inst.ini()));
    EXPECT_EQ(clientList, ReadBytes(m_inst.root() + L"\\HotUpdateFileList_Client.txt"));
    // The dialog opened its log and wrote nothing to it.
    EXPECT_EQ("", ReadBytes(m_inst.log()));
}

TEST_F(UpdateRun, WithNothingToUpdateNoWindowIsEverMade)
{
    // The watcher sees the windows a run makes...
    const int nRunWindows = CountWindowsCreated(L"\"" + m_inst.updater() + L"\"");
    ASSERT_GT(nRunWindows, 0) << "a run shows the dialog";
    ASSERT_EQ(1u, m_inst.ClientStarts().size());
    // ...and the everyday start, the same release once more, makes none: the
    // client is started before any window would exist.
    EXPECT_EQ(0, CountWindowsCreated(L"\"" + m_inst.updater() + L"\""));
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
    EXPECT_EQ("", ReadBytes(m_inst.log()));
}

TEST_F(UpdateRun, WithNothingToUpdateAClientThatCannotBeStartedIsStillReported)
{
    ASSERT_EQ(0u, m_inst.Run());
    ASSERT_EQ(1u, m_inst.ClientStarts().size());
    // The client just started may still be running from its file.
    ASSERT_TRUE(WaitUntil([&] { return DeleteFileW((m_inst.bin() + L"\\QVS.exe").c_str()); },
                          10000));
    const std::string ini = ReadBytes(m_inst.ini());

    // No window is made for the start itself; one comes up to say why it failed.
    RunningProgram program(L"\"" + m_inst.updater() + L"\"");
    const std::wstring expected = L"Error!.." + m_inst.bin() + L"\\QVS.exe\r\n";
    const std::wstring text = program.WaitForText(expected);
    EXPECT_EQ(expected, text);
    PressOk(program.FindDialog());
    EXPECT_NE(static_cast<DWORD>(-1), program.Wait(20000));
    EXPECT_EQ(ToUtf8(expected), ReadBytes(m_inst.log()));
    EXPECT_EQ(ini, ReadBytes(m_inst.ini()));
}

TEST_F(UpdateRun, AnEmptyArgumentForcesARun)
{
    ASSERT_EQ(0u, m_inst.Run());
    ASSERT_TRUE(DeleteFileW(m_inst.ini().c_str()));
    m_inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=" + m_release.unc() + L"\r\n");

    EXPECT_EQ(0u, m_inst.Run(L"\"\""));
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
    EXPECT_EQ(L"1", IniValue(m_inst, L"UpdateSucceeded"));
    EXPECT_NE(std::string::npos, ReadBytes(m_inst.log()).find("Saving to file to ...."));
}

TEST_F(UpdateRun, ALockedDestinationFailsTheRunWhichIsRetriedNextTime)
{
    {
        // A running client holds the file without sharing.
        UniqueFile held(CreateFileW(Installed(L"bin\\app.dll").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(0u, m_inst.Run());
    }
    // The other files were copied and the client was started all the same.
    ASSERT_EQ(1u, m_inst.ClientStarts().size());
    EXPECT_EQ("new file", ReadBytes(Installed(L"bin\\new.dll")));
    EXPECT_EQ("app version 1", ReadBytes(Installed(L"bin\\app.dll")));
    EXPECT_EQ(L"0", IniValue(m_inst, L"UpdateSucceeded"));
    // The reason is the failed copy's own, not whatever happened last.
    const std::wstring reason = IniValue(m_inst, L"UpdateFailureReason");
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(std::wstring::npos, reason.find(L"successfully"));
    EXPECT_NE(std::string::npos, ReadBytes(m_inst.log()).find("Error!.."));
    // The release is not taken as seen: the next start updates again.
    EXPECT_FALSE(Exists(LocalListCopy()));

    EXPECT_EQ(0u, m_inst.Run());
    EXPECT_EQ(2u, m_inst.ClientStarts(2).size());
    EXPECT_EQ("app version 2", ReadBytes(Installed(L"bin\\app.dll")));
    EXPECT_EQ(L"1", IniValue(m_inst, L"UpdateSucceeded"));
    EXPECT_EQ(L"", IniValue(m_inst, L"UpdateFailureReason"));
    EXPECT_TRUE(Exists(LocalListCopy()));
}

namespace
{
// Splits the log into its messages: each begins with one of the run's message texts.
std::vector<std::wstring> LogMessages(const std::wstring& log)
{
    std::vector<size_t> starts;
    for (const wchar_t* prefix :
         {L"Reading directory...", L"Saving to file to ....", L"Copying...", L"Error!.."})
    {
        for (size_t pos = 0; (pos = log.find(prefix, pos)) != std::wstring::npos; ++pos)
        {
            if (pos == 0 || log[pos - 1] == L'\n')
            {
                starts.push_back(pos);
            }
        }
    }
    std::sort(starts.begin(), starts.end());
    std::vector<std::wstring> messages;
    for (size_t i = 0; i < starts.size(); ++i)
    {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : log.size();
        messages.push_back(log.substr(starts[i], end - starts[i]));
    }
    return messages;
}

std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    {
        lines.push_back(text.substr(start, end - start + 2));
    }
    return lines;
}
} // namespace

TEST_F(UpdateRun, AClientThatCannotBeStartedKeepsTheDialogOpen)
{
    ASSERT_TRUE(DeleteFileW((m_inst.bin() + L"\\QVS.exe").c_str()));
    RunningProgram program(L"\"" + m_inst.updater() + L"\"");
    ASSERT_TRUE(program.started());
    const std::wstring expected = L"Error!.." + m_inst.bin() + L"\\QVS.exe";
    const std::wstring text = program.WaitForText(expected);
    ASSERT_FALSE(text.empty());
    // The text box holds every message, newest at the top, then the walk's entry
    // lines in the order the walk met them (the reverse of the client list).
    std::wstring box = expected + L"\r\n";
    const auto messages = LogMessages(FromUtf8(ReadBytes(m_inst.log())));
    EXPECT_EQ(1u + 1u + 3u, messages.size()); // the folder bin, the saved list, three copies
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
    {
        box += *it;
    }
    const auto entries = Lines(ReadUtf16(m_inst.root() + L"\\HotUpdateFileList_Client.txt"));
    EXPECT_FALSE(entries.empty());
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    {
        box += *it;
    }
    EXPECT_EQ(box, text);
    // The run succeeded and closed its log before the start failed.
    EXPECT_EQ(L"1", IniValue(m_inst, L"UpdateSucceeded"));
    EXPECT_EQ(std::string::npos, ReadBytes(m_inst.log()).find("Error!.."));
    PressOk(program.FindDialog());
    EXPECT_NE(static_cast<DWORD>(-1), program.Wait(20000));
}

TEST(UpdateRunWithoutRelease, AnUnreachableShareStopsTheRunAndSaysWhy)
{
    Installation inst;
    inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=\\\\qvsserver\\release\\no-such-release\r\n");
    RunningProgram program(L"\"" + inst.updater() + L"\" /force");
    ASSERT_TRUE(program.started());
    const std::wstring text = program.WaitForText(L"Error!..");
    ASSERT_FALSE(text.empty());
    EXPECT_NE(std::wstring::npos,
              text.find(L"\\\\qvsserver\\release\\no-such-release\\HotUpdateFileList_Server.txt"));
    EXPECT_EQ(L"0", IniValue(inst, L"UpdateSucceeded"));
    EXPECT_FALSE(IniValue(inst, L"UpdateFailureReason").empty());
    // The dialog waits for the user; the client is not started.
    EXPECT_FALSE(program.HasEnded());
    EXPECT_TRUE(inst.ClientStarts(1, 500).empty());
    PressOk(program.FindDialog());
    EXPECT_NE(static_cast<DWORD>(-1), program.Wait(20000));
    EXPECT_TRUE(inst.ClientStarts(1, 500).empty());
}

TEST(UpdateRunWithoutRelease, AStoppedRunShowsTheWholeListingBelowItsMessages)
{
    Installation inst;
    WriteBytes(inst.bin() + L"\\listed.dll", "listed");
    inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=\\\\qvsserver\\release\\no-such-release\r\n");
    RunningProgram program(L"\"" + inst.updater() + L"\" /force");
    ASSERT_TRUE(program.started());
    const std::wstring entry = inst.bin() + L"\\\t\tlisted.dll\t\t";
    const std::wstring text = program.WaitForText(entry);
    ASSERT_FALSE(text.empty());
    // The messages, newest first, then one line per listed file and nothing else.
    std::vector<std::wstring> lines;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos;
         start = end + 2)
    {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(text.size(), text.rfind(L"\r\n") + 2);
    const auto firstEntry = std::find_if(lines.begin(), lines.end(),
                                         [](const std::wstring& line)
                                         { return line.find(L"\t\t") != std::wstring::npos; });
    ASSERT_NE(lines.end(), firstEntry);
    EXPECT_EQ(0u, lines.front().find(L"Error!.."));
    size_t nEntries = 0;
    for (auto it = firstEntry; it != lines.end(); ++it)
    {
        EXPECT_EQ(0u, it->find(inst.root() + L"\\")) << *it;
        EXPECT_NE(std::wstring::npos, it->find(L"\t\t")) << *it;
        ++nEntries;
    }
    // QVSCliUpdate.exe, QVS.exe, QVS.ini and listed.dll; the log is never listed.
    EXPECT_EQ(4u, nEntries);
    EXPECT_NE(std::wstring::npos, text.find(L"Reading directory..." + inst.bin()));
    PressOk(program.FindDialog());
    EXPECT_NE(static_cast<DWORD>(-1), program.Wait(20000));
}

TEST(UpdateRunWithoutRelease, AMissingReleaseListWithoutArgumentOnlyStartsTheClient)
{
    Installation inst;
    inst.WriteIni(L"[HotUpdate]\r\nSourceFolder=\\\\qvsserver\\release\\no-such-release\r\n");
    const std::string ini = ReadBytes(inst.ini());
    EXPECT_EQ(0u, inst.Run());
    EXPECT_EQ(1u, inst.ClientStarts().size());
    EXPECT_EQ(ini, ReadBytes(inst.ini()));
    EXPECT_EQ("", ReadBytes(inst.log()));
}

TEST_F(UpdateRun, NamesOutsideTheCodePageAreCopiedAndShownWhole)
{
    // Greek, Japanese and a character beyond the 16-bit range.
    const std::wstring name = L"\u03A9mega-\u65E5\u672C-\U0001F600.dll";
    m_release.AddFile(L"bin\\" + name, "wide name", T(2026, 1, 13));
    ASSERT_EQ(0u, m_release.Publish());
    ASSERT_TRUE(DeleteFileW((m_inst.bin() + L"\\QVS.exe").c_str()));
    RunningProgram program(L"\"" + m_inst.updater() + L"\"");
    const std::wstring text = program.WaitForText(L"Error!.." + m_inst.bin());
    ASSERT_FALSE(text.empty());
    PressOk(program.FindDialog());
    program.Wait(20000);

    EXPECT_EQ("wide name", ReadBytes(Installed(L"bin\\" + name)));
    EXPECT_NE(std::wstring::npos, text.find(Upper(name))) << "the text box shows the name whole";
    // The log is 8-bit text: characters its code page lacks are replaced, never dropped.
    const std::string log = ReadBytes(m_inst.log());
    EXPECT_NE(std::string::npos, log.find("MEGA-")) << log;
    EXPECT_NE(std::string::npos, log.find("?MEGA-")) << log;
    // The client list of the next run holds the name whole.
    EXPECT_EQ(L"1", IniValue(m_inst, L"UpdateSucceeded"));
}
