// Every desktop's outcome in one place: clients configured with a ReportFolder leave
// one report per installation after each run (and after a start that finds the
// release's runs spent), and QVSMakeList --report sums them up, worst first, on the
// console and in report.html, naming and skipping what is not a report. A report
// folder that is missing, read-only or not answering never holds the client back.
#include "lib/DesktopReport.h"
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
std::wstring Unc(const std::wstring& local)
{
    return L"\\\\" + ComputerName() + local.substr(2);
}

std::wstring UserName()
{
    wchar_t name[257] = {};
    DWORD n = 257;
    GetUserNameW(name, &n);
    return name;
}

// "2026-01-10T12:03:04Z" of a moment.
std::wstring UtcStamp(const FILETIME& ft)
{
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    wchar_t text[24] = {};
    swprintf(text, 24, L"%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond);
    return text;
}

std::wstring Now()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return UtcStamp(now);
}

struct Output
{
    DWORD exitCode;
    std::wstring out;
    std::wstring err;
};

Output Summarise(const std::wstring& folder)
{
    Program::Options options;
    options.capture = true;
    Program tool(L"\"" + ExeFolder() + L"QVSMakeList.exe\" --report " + folder, options);
    const DWORD exitCode = tool.Wait();
    return {exitCode, tool.out(), tool.err()};
}

class Report : public Scenario
{
protected:
    Report() : reports(_wgetenv(L"QVS_UNC_LOCAL")) { inst.Configure(rel.unc(), Line()); }

    std::wstring Line() const { return L"ReportFolder=" + Unc(reports.path()) + L"\\\r\n"; }

    // The report of an installation, as the program wrote it.
    SCDesktopReport Read(const Installation& installation) const
    {
        SCDesktopReport report;
        std::wstring why;
        const std::string bytes =
            ReadBytes(reports / DesktopReportFileName(ComputerName(), installation.root()));
        EXPECT_TRUE(SCDesktopReport::Parse(bytes, report, why)) << ToUtf8(why);
        EXPECT_EQ(bytes, report.Format());
        return report;
    }

    // The report says what the installation's QVS.ini and the run say.
    void ExpectReport(const Installation& installation, SCDesktopReport::Outcome outcome,
                      ULONGLONG nCopied, ULONGLONG nBytes, const std::wstring& since) const
    {
        const SCDesktopReport report = Read(installation);
        EXPECT_EQ(ComputerName(), report.strComputer);
        EXPECT_EQ(UserName(), report.strUser);
        EXPECT_EQ(installation.root(), report.strRoot);
        EXPECT_EQ(installation.Ini(L"FailedReleaseListTime"), report.strRelease);
        EXPECT_EQ(SCDesktopReport::OutcomeName(outcome),
                  std::wstring(SCDesktopReport::OutcomeName(report.outcome)));
        EXPECT_EQ(installation.Ini(L"UpdateFailureReason"), report.strReason);
        EXPECT_EQ(nCopied, report.nFilesCopied);
        // Small files: each read whole.
        EXPECT_EQ(nBytes, report.nBytesCopied);
        EXPECT_EQ(nBytes, report.nBytesRead);
        EXPECT_LT(report.nDurationMs, 30000u);
        EXPECT_EQ(L"1.0.0.0", report.strVersion);
        EXPECT_TRUE(since <= report.strWritten && report.strWritten <= Now())
            << ToUtf8(report.strWritten);
    }

    // The folder's files but the page: the reports, and never a temporary file.
    std::set<std::wstring> Files() const
    {
        std::set<std::wstring> names;
        ForEachEntry(reports.path(), [&names](const WIN32_FIND_DATAW& fd) { names.insert(fd.cFileName); });
        names.erase(L"report.html");
        return names;
    }

    TempDir reports;
};
} // namespace

TEST_F(Report, ClientsReportAfterEachRunAndTheSummaryShowsEveryDesktopWorstFirst)
{
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    rel.Put(L"bin\\lib.dll", "lib 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    std::wstring since = Now();
    ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\lib.dll"}});
    ExpectReport(inst, SCDesktopReport::Outcome::Succeeded, 2, 10, since);
    const std::wstring mine = DesktopReportFileName(ComputerName(), inst.root());
    EXPECT_EQ(std::set<std::wstring>{mine}, Files());

    // A second desktop's app.dll is held open by a program without sharing (it can be
    // neither replaced nor moved aside): each of its three runs installs nothing,
    // reports which file and why, replacing its report; the fourth start does not
    // run the release and reports that its runs are spent.
    Installation other;
    other.Configure(rel.unc(), Line());
    other.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    const std::wstring theirs = DesktopReportFileName(ComputerName(), other.root());
    const std::wstring heldReason = other.Path(L"bin\\app.dll") + L" could not be replaced: " +
                                    ReasonText(ERROR_SHARING_VIOLATION) +
                                    L" Nothing was installed: the installation is the release it had.";
    {
        const UniqueFile held(CreateFileW(other.Path(L"bin\\app.dll").c_str(), GENERIC_READ, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        for (int nRun = 1; nRun <= 4; ++nRun)
        {
            SCOPED_TRACE(nRun);
            since = Now();
            ASSERT_EQ(0u, RunProgram(other.Command()));
            EXPECT_TRUE(WaitUntil([&] { return other.ClientStarts().size() == size_t(nRun); }, 10000));
            EXPECT_EQ(heldReason, other.Ini(L"UpdateFailureReason"));
            ExpectReport(other,
                         nRun < 4 ? SCDesktopReport::Outcome::Failed
                                  : SCDesktopReport::Outcome::RetriesSpent,
                         0, nRun < 4 ? 10 : 0, since);
            EXPECT_EQ((std::set<std::wstring>{mine, theirs}), Files());
        }
    }
    const SCDesktopReport failed = Read(other);

    // A desktop last heard from ten days ago, one whose report holds markup, and
    // files that are no reports: of another encoding, huge, half-written, and one
    // whose name holds markup; and what an abandoned report left behind.
    SCDesktopReport silent = failed;
    silent.strComputer = L"PC-OLD";
    silent.strUser = L"bob";
    silent.strRoot = L"C:\\Quovisa";
    silent.strRelease = L"2025-12-01 08:00:00.000";
    silent.outcome = SCDesktopReport::Outcome::Succeeded;
    silent.strReason.clear();
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    silent.strWritten = UtcStamp(Plus(now, -10 * 24 * 3600));
    // Its client is of an earlier version, which writes format 1, without the bytes.
    std::string old = silent.Format();
    old.replace(0, old.find('\n'), "QVSDesktopReport 1");
    for (const char* key : {"copied-bytes=", "read-bytes="})
    {
        const size_t at = old.find(key);
        old.erase(at, old.find('\n', at) + 1 - at);
    }
    WriteBytes(reports / L"PC-OLD-0123456789abcdef.qvsreport", old);
    SCDesktopReport hostile = failed;
    hostile.strComputer = L"<b id=\"pwn\">PC</b>";
    hostile.strUser = L"a&b";
    hostile.strRoot = L"C:\\Q'\"<i>";
    hostile.outcome = SCDesktopReport::Outcome::Failed;
    hostile.strReason = L"<script>document.title='pwned'</script>\r\nsecond line";
    hostile.strWritten = Now();
    const std::wstring hostileName = DesktopReportFileName(hostile.strComputer, hostile.strRoot);
    EXPECT_EQ(0u, hostileName.find(L"~003Cb~0020id~003D~0022pwn~0022~003EPC~003C~002Fb~003E-"))
        << ToUtf8(hostileName);
    WriteBytes(reports / hostileName, hostile.Format());
    const std::string good = silent.Format();
    WriteBytes(reports / L"utf16.qvsreport", Utf16Bytes(L"\xFEFF" + FromUtf8(good)));
    WriteBytes(reports / L"huge.qvsreport", std::string(200 * 1024, 'x'));
    WriteBytes(reports / L"half.qvsreport", good.substr(0, good.size() / 2));
    WriteBytes(reports / L"&lt;i&gt;.qvsreport", "<i>not a report</i>\n");
    WriteBytes(reports / (L"~" + theirs.substr(0, theirs.size() - 10) + L"-ff1.tmp"), "half");

    const std::wstring folder = Unc(reports.path());
    const Output run = Summarise(folder + L"\\");
    EXPECT_EQ(0u, run.exitCode);
    const std::wstring release = failed.strRelease;
    EXPECT_EQ(L"QVSMakeList: 4 desktop reports in " + folder + L" (4 files skipped)\r\n"
              L"Desktops per release (newest first):\r\n"
              L"  " + release + L": 3 (2 failed, 1 up to date)\r\n"
              L"  2025-12-01 08:00:00.000: 1 (1 not heard from for a week)\r\n"
              L"Failed (2):\r\n"
              L"  <b id=\"pwn\">PC</b> C:\\Q'\"<i> (a&b): failed on release " + release +
              L", reported " + hostile.strWritten +
              L": <script>document.title='pwned'</script>\xFFFD\xFFFDsecond line\r\n"
              L"  " + ComputerName() + L" " + other.root() + L" (" + UserName() +
              L"): runs spent on release " + release + L", reported " + failed.strWritten +
              L": " + heldReason + L"\r\n"
              L"Not heard from for a week (1):\r\n"
              L"  PC-OLD C:\\Quovisa (bob): last report " + silent.strWritten +
              L", release 2025-12-01 08:00:00.000\r\n"
              L"Page: " + folder + L"\\report.html\r\n",
              run.out);
    for (const wchar_t* skipped :
         {L"skipped utf16.qvsreport: not a desktop report: not UTF-8 text\r\n",
          L"skipped huge.qvsreport: larger than a report can be (204800 bytes)\r\n",
          L"skipped half.qvsreport: not a desktop report: line ",
          L"skipped &lt;i&gt;.qvsreport: not a desktop report: its first line is not "
          L"\"QVSDesktopReport 2\" (nor of an earlier format)\r\n"})
    {
        EXPECT_NE(std::wstring::npos, run.err.find(skipped)) << ToUtf8(run.err);
    }

    // The page: one row per desktop, worst first, every value text and never markup.
    const std::string page = ReadBytes(reports / L"report.html");
    const size_t rows[] = {
        page.find("<tr class=\"failed\"><td>failed</td><td>&lt;b id=&quot;pwn&quot;&gt;PC&lt;/b&gt;</td>"
                  "<td>a&amp;b</td><td>C:\\Q&#39;&quot;&lt;i&gt;</td>"),
        page.find("<tr class=\"failed\"><td>failed, runs spent</td><td>" + ToUtf8(ComputerName())),
        page.find("<tr class=\"silent\"><td>not heard from for a week</td><td>PC-OLD</td>"),
        page.find("<tr class=\"uptodate\"><td>up to date</td><td>" + ToUtf8(ComputerName()) +
                  "</td><td>" + ToUtf8(UserName()) + "</td><td>" + ToUtf8(inst.root()) + "</td>"),
    };
    for (size_t i = 0; i < 4; ++i)
    {
        EXPECT_NE(std::string::npos, rows[i]) << i << "\n" << page;
        EXPECT_TRUE(i == 0 || rows[i - 1] < rows[i]) << i;
    }
    // What each run read from the share against what its files hold; unknown for format 1.
    EXPECT_NE(std::string::npos, page.find("<td>PC-OLD</td>")) << page;
    EXPECT_NE(std::string::npos, page.find("<td class=\"n\">0</td><td class=\"n\">\xE2\x80\x94</td>")) << page;
    EXPECT_NE(std::string::npos, page.find("<td class=\"n\">2</td><td class=\"n\">10 of 10 bytes</td>")) << page;
    EXPECT_EQ(std::string::npos, page.find("<b id")) << page;
    EXPECT_EQ(std::string::npos, page.find("<script")) << page;
    EXPECT_NE(std::string::npos, page.find("<li>&amp;lt;i&amp;gt;.qvsreport: ")) << page;
    EXPECT_NE(std::string::npos, page.find("<td>&lt;script&gt;document.title=&#39;pwned&#39;"
                                           "&lt;/script&gt;\xEF\xBF\xBD\xEF\xBF\xBDsecond line</td>"))
        << page;
    // Kept for the check in a browser (tests/e2e/report-page.sh).
    if (const wchar_t* keep = _wgetenv(L"QVS_REPORT_PAGE"))
    {
        WriteBytes(keep, page);
    }

    // The held file let go and a mended release published: the second desktop takes
    // it and reports so, and the summary counts it with the new release.
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());
    since = Now();
    ASSERT_EQ(0u, RunProgram(other.Command()));
    EXPECT_TRUE(WaitUntil([&] { return other.ClientStarts().size() == 5; }, 10000));
    ExpectReport(other, SCDesktopReport::Outcome::Succeeded, 2, 10, since);
    const Output again = Summarise(folder);
    EXPECT_EQ(0u, again.exitCode);
    EXPECT_NE(std::wstring::npos,
              again.out.find(L"  " + other.Ini(L"FailedReleaseListTime") + L": 1 (1 up to date)\r\n"
                             L"  " + release + L": 2 (1 failed, 1 up to date)\r\n"))
        << ToUtf8(again.out);
    EXPECT_NE(std::wstring::npos, again.out.find(L"Failed (1):\r\n  <b id")) << ToUtf8(again.out);
}

namespace
{
class ReportFolder : public Scenario
{
};

// While it lives, every access below the stalling share's folder of that name waits.
// Made before any program goes there: an open under way when a share stops would
// hold Wine's server itself.
class StalledFolder
{
public:
    explicit StalledFolder(const std::wstring& name)
    {
        const wchar_t* control = _wgetenv(L"QVS_STALL_CONTROL");
        const wchar_t* backing = _wgetenv(L"QVS_STALL_LOCAL");
        if (control == nullptr || backing == nullptr)
        {
            throw std::runtime_error("the stalling share is not mounted: run the tests through scripts/test");
        }
        MakeDirs(std::wstring(backing) + L"\\" + name);
        m_path = std::wstring(control) + L"\\" + name + L".stall";
        WriteBytes(m_path, "");
    }
    ~StalledFolder() { DeleteFileW(m_path.c_str()); }
    StalledFolder(const StalledFolder&) = delete;
    StalledFolder& operator=(const StalledFolder&) = delete;

private:
    std::wstring m_path;
};
} // namespace

TEST_F(ReportFolder, MissingReadOnlyOrNotAnsweringItCostsALogLineAndNeverTheClient)
{
    const wchar_t* readOnly = _wgetenv(L"QVS_READ_ONLY_FOLDER");
    ASSERT_NE(nullptr, readOnly) << "the read-only folder is not mounted: run the tests through scripts/test";
    TempDir share(_wgetenv(L"QVS_UNC_LOCAL"));
    // Missing, after a run that failed (its log still open): app1.dll is still being
    // written on the share.
    const std::wstring missing = Unc(share.path()) + L"\\missing";
    inst.Configure(rel.unc(), L"ReportFolder=" + missing + L"\r\n");
    rel.Put(L"bin\\app1.dll", "app 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    afterRun = L"No report was written into the report folder " + missing + L": " +
               ReasonText(ERROR_PATH_NOT_FOUND);
    {
        const UniqueFile writing(CreateFileW(rel.Path(L"bin\\app1.dll").c_str(), GENERIC_WRITE, 0,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writing.valid());
        ExpectUpdate({{L"bin\\app1.dll", ERROR_SHARING_VIOLATION}});
    }
    // Read-only, after a run that succeeded (its log closed): the line is added to it.
    inst.Configure(rel.unc(), L"ReportFolder=" + std::wstring(readOnly) + L"\r\n");
    rel.Put(L"bin\\app2.dll", "app 2", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    afterRun = L"No report was written into the report folder " + std::wstring(readOnly) + L": " +
               ReasonText(ERROR_ACCESS_DENIED);
    ExpectUpdate({{L"bin\\app1.dll"}, {L"bin\\app2.dll"}});
    EXPECT_EQ(L"1", inst.Ini(L"UpdateSucceeded"));

    // A folder that does not answer: the client is started first, the program gives
    // the folder the deadline, then ends, and the log says so.
    const std::wstring name = FreshName(L"reports-");
    const StalledFolder stalled(name);
    const std::wstring folder = std::wstring(_wgetenv(L"QVS_STALL_SHARE")) + L"\\" + name;
    inst.Configure(rel.unc(), L"ReportFolder=" + folder + L"\r\n");
    rel.Put(L"bin\\app3.dll", "app", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    afterRun = L"No report was written: the report folder " + folder +
               L" did not answer within 3 seconds.";
    const Before before = Take();
    Program program(inst.Command(), Program::CountingWindows());
    ASSERT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 20000));
    EXPECT_FALSE(program.Ended()) << "the client is started before the report is written";
    ASSERT_EQ(0u, program.Wait());
    CheckUpdate(before, {{L"bin\\app3.dll"}});
}
