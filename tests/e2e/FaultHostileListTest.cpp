// A server list written by hand into a release, naming places outside the
// installation, device names and streams: nothing is written outside the
// installation root, each refused entry is reported, and the run records "0".
#include "tests/e2e/FaultFixture.h"

#include <set>

using namespace qvsfault;

namespace
{
std::set<std::wstring> Snapshot(const std::wstring& folder)
{
    const std::vector<std::wstring> files = FilesBelow(folder);
    return {files.begin(), files.end()};
}
} // namespace

TEST_F(FaultRun, AHostileServerListWritesNothingOutsideTheInstallation)
{
    const std::wstring evil = L"evil-" + std::to_wstring(GetCurrentProcessId()) + L".dll";
    Publish(L"bin\\good.dll", "good", T(2026, 1, 10));
    Publish(L"bin\\" + evil, "evil", T(2026, 1, 10));
    Publish(evil, "evil", T(2026, 1, 10));
    ASSERT_EQ(0u, m_release.Publish());
    m_new.erase(L"bin\\" + evil);
    m_new.erase(evil);

    const std::wstring u = m_release.unc();
    const std::wstring stamp = L"10/01/26 12:00:00";
    struct Line
    {
        std::wstring folder;
        std::wstring name;
    };
    const std::vector<Line> hostile = {
        {u + L"\\..\\..\\", evil},                                       // climbs out of the root
        {u + L"\\bin\\..\\..\\..\\", evil},                              // also
        {u + L"\\bin\\", L"..\\" + evil},                                // a name that climbs
        {u + L"\\bin\\", L"..\\..\\" + evil},                            //
        {u + L"\\bin\\", L"C:\\" + evil},                                // a name with a drive
        {u + L"\\bin\\", L"\\\\" + ComputerName() + L"\\work\\" + evil}, // a UNC name
        {u + L"\\bin\\", L"sub/" + evil},                                // the other separator
        {u + L"\\bin\\", L"CON"},                                        // device names
        {u + L"\\bin\\", L"NUL.dll"},
        {u + L"\\bin\\", L"COM1"},
        {u + L"\\bin\\", L"good.dll:stream"}, // alternate data streams
        {u + L"\\bin\\", L"good.dll::$DATA"},
        {u + L"\\bin:stream\\", evil}, // a stream as a folder
        {u + L"\\CON\\", evil},        // a device as a folder
        {u + L"\\bin\\", evil + L"."}, // the system drops final dots
        {u + L"\\bin\\", L".."},
    };
    // The list names good.dll alone; the files that hostile lines name exist all the same.
    const std::wstring made = ReadUtf16(m_release.local() + L"\\HotUpdateFileList_Server.txt");
    std::wstring list;
    for (size_t start = 0, end = 0; (end = made.find(L"\r\n", start)) != std::wstring::npos;
         start = end + 2)
    {
        const std::wstring line = made.substr(start, end + 2 - start);
        if (line.find(L"\t\tgood.dll\t\t") != std::wstring::npos)
        {
            list += line;
        }
    }
    ASSERT_FALSE(list.empty());
    for (const Line& line : hostile)
    {
        list += line.folder + L"\t\t" + line.name + L"\t\t" + stamp + L"\r\n";
    }
    WriteUtf16(m_release.local() + L"\\HotUpdateFileList_Server.txt", list);

    // Everything a write outside the root could reach here.
    const std::wstring parent = m_inst.root().substr(0, m_inst.root().rfind(L'\\'));
    const std::wstring grandParent = parent.substr(0, parent.rfind(L'\\'));
    const std::set<std::wstring> releaseBefore = Snapshot(m_release.local());
    const std::vector<std::wstring> outside = {parent + L"\\" + evil, grandParent + L"\\" + evil,
                                               L"C:\\" + evil, m_release.local() + L"\\..\\" + evil,
                                               L"C:\\users\\" + evil};

    EXPECT_EQ(0u, m_inst.Run());
    for (const std::wstring& path : outside)
    {
        EXPECT_FALSE(Exists(path)) << ToUtf8(path);
    }
    EXPECT_EQ(releaseBefore, Snapshot(m_release.local()));
    for (const std::wstring& file : FilesBelow(m_inst.root()))
    {
        EXPECT_EQ(std::wstring::npos, file.find(L"evil")) << ToUtf8(file);
    }
    ExpectEveryFileNew();
    // Each refused entry is named in the log, and the run counts as failed.
    const std::string log = Log();
    size_t refused = 0;
    for (size_t pos = 0; (pos = log.find(" was not copied: ", pos)) != std::string::npos; ++pos)
    {
        ++refused;
    }
    EXPECT_EQ(hostile.size(), refused) << log;
    EXPECT_EQ(L"0", Ini(L"UpdateSucceeded"));
    EXPECT_EQ(ReasonText(ERROR_BAD_PATHNAME), Ini(L"UpdateFailureReason"));
    EXPECT_EQ(1u, m_inst.ClientStarts().size());
}
