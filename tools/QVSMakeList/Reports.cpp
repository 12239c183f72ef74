#include "tools/QVSMakeList/Reports.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/DesktopReport.h"
#include "tools/QVSMakeList/ReleaseWrite.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

namespace
{
constexpr wchar_t kPageName[] = L"report.html";
constexpr ULONGLONG kWeekTicks = 7ull * 24 * 3600 * 10000000;

// What a desktop looks like to the administrator, worst first.
enum class Status
{
    Failed,
    Silent, // not heard from for a week
    UpToDate,
};

const wchar_t* StatusName(Status status) noexcept
{
    return status == Status::Failed   ? L"failed"
           : status == Status::Silent ? L"not heard from for a week"
                                      : L"up to date";
}

struct ReportFile
{
    std::wstring strName;
    ULONGLONG nSize = 0;
    SCDesktopReport report;
    std::wstring strProblem; // why it was skipped; empty when it was read
    Status status = Status::UpToDate;
};

// Every file of the folder with the reports' extension.
bool ListReportFiles(const std::wstring& strFolder, std::vector<ReportFile>& files, DWORD& dwError)
{
    WIN32_FIND_DATAW fd;
    const UniqueFind find(FindFirstFileExW(AfxLongPathForm(strFolder + L"\\*").c_str(),
                                           FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (!find)
    {
        dwError = GetLastError();
        return false;
    }
    const size_t nExtension = wcslen(kDesktopReportExtension);
    do
    {
        const std::wstring_view name = fd.cFileName;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && name.size() > nExtension &&
            CompareStringOrdinal(name.data() + name.size() - nExtension,
                                 static_cast<int>(nExtension), kDesktopReportExtension, -1,
                                 TRUE) == CSTR_EQUAL)
        {
            ReportFile& file = files.emplace_back();
            file.strName = fd.cFileName;
            file.nSize = (static_cast<ULONGLONG>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        }
    } while (FindNextFileW(find.get(), &fd));
    dwError = GetLastError() == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : GetLastError();
    return dwError == ERROR_SUCCESS;
}

void ReadReportFile(const std::wstring& strFolder, ReportFile& file) noexcept
{
    try
    {
        if (file.nSize > kMaxDesktopReportBytes)
        {
            file.strProblem = L"larger than a report can be (" + std::to_wstring(file.nSize) +
                              L" bytes)";
            return;
        }
        // A client may replace it meanwhile: its reading never stands in the way.
        const UniqueFile handle(CreateFileW(
            AfxLongPathForm(strFolder + L"\\" + file.strName).c_str(), GENERIC_READ,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        // One byte more than a report may hold, into a buffer each thread keeps: under
        // Wine every call on a file waits for its server, so none is spared.
        thread_local std::string buffer;
        buffer.resize(kMaxDesktopReportBytes + 1);
        DWORD nRead = 0;
        if (!handle ||
            !ReadFile(handle.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &nRead, nullptr))
        {
            file.strProblem = L"cannot be read (" + AfxSystemErrorLine(GetLastError()) + L")";
            return;
        }
        if (nRead > kMaxDesktopReportBytes)
        {
            file.strProblem = L"larger than a report can be (more than " +
                              std::to_wstring(kMaxDesktopReportBytes) + L" bytes)";
            return;
        }
        const std::string_view bytes(buffer.data(), nRead);
        std::wstring strWhy;
        if (!SCDesktopReport::Parse(bytes, file.report, strWhy))
        {
            file.strProblem = L"not a desktop report: " + strWhy;
        }
    }
    catch (...)
    {
        file.strProblem = L"out of memory";
    }
}

// Reads every file on a few threads: a folder of many small files on a share
// spends most of its time waiting for each open.
void ReadReportFiles(const std::wstring& strFolder, std::vector<ReportFile>& files)
{
    std::atomic<size_t> next{0};
    const auto work = [&files, &next, &strFolder]() noexcept
    {
        for (size_t i = next++; i < files.size(); i = next++)
        {
            ReadReportFile(strFolder, files[i]);
        }
    };
    std::vector<std::thread> helpers;
    try
    {
        for (unsigned n = 1; n < 4; ++n)
        {
            helpers.emplace_back(work);
        }
    }
    catch (...)
    {
        // Fewer helpers: this thread reads what is left.
    }
    work();
    for (std::thread& helper : helpers)
    {
        helper.join();
    }
}

ULONGLONG TicksOfUtcStamp(const std::wstring& strStamp)
{
    SYSTEMTIME st{};
    FILETIME ft{};
    swscanf(strStamp.c_str(), L"%4hu-%2hu-%2huT%2hu:%2hu:%2huZ", &st.wYear, &st.wMonth, &st.wDay,
            &st.wHour, &st.wMinute, &st.wSecond);
    SystemTimeToFileTime(&st, &ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Text from a report for the console: nothing in it moves the cursor or
// changes the terminal.
std::wstring Printable(std::wstring text)
{
    for (wchar_t& c : text)
    {
        c = c < 0x20 || (c >= 0x7F && c < 0xA0) ? L'\xFFFD' : c;
    }
    return text;
}

// Text from a report for the page: always text, never markup.
std::wstring Html(std::wstring_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text)
    {
        switch (c)
        {
        case L'&':
            out += L"&amp;";
            break;
        case L'<':
            out += L"&lt;";
            break;
        case L'>':
            out += L"&gt;";
            break;
        case L'"':
            out += L"&quot;";
            break;
        case L'\'':
            out += L"&#39;";
            break;
        default:
            out += c < 0x20 || (c >= 0x7F && c < 0xA0) ? L'\xFFFD' : c;
        }
    }
    return out;
}

std::wstring Seconds(ULONGLONG nMs)
{
    wchar_t szText[32] = {};
    swprintf(szText, 32, L"%.2f s", static_cast<double>(nMs) / 1000.0);
    return szText;
}

// 1234567 as "1,234,567".
std::wstring Grouped(ULONGLONG n)
{
    std::wstring digits = std::to_wstring(n);
    for (size_t nAt = digits.size(); nAt > 3; nAt -= 3)
    {
        digits.insert(nAt - 3, 1, L',');
    }
    return digits;
}

// "1,234,567 of 67,108,864 bytes": what the run read from the share against what its
// files hold (a file built from its installed version's blocks reads less than it holds).
std::wstring BytesRead(const SCDesktopReport& report)
{
    return report.bBytesKnown
               ? Grouped(report.nBytesRead) + L" of " + Grouped(report.nBytesCopied) + L" bytes"
               : std::wstring(L"\x2014");
}

std::wstring ReleaseText(const SCDesktopReport& report)
{
    return report.strRelease.empty() ? L"(none seen)" : report.strRelease;
}

// "PC042 C:\Quovisa (anna)"
std::wstring Desktop(const SCDesktopReport& report)
{
    return Printable(report.strComputer + L" " + report.strRoot + L" (" + report.strUser + L")");
}

std::wstring DesktopLine(const ReportFile& file)
{
    const SCDesktopReport& r = file.report;
    std::wstring line = L"  " + Desktop(r) + L": ";
    if (file.status == Status::Failed)
    {
        line += (r.outcome == SCDesktopReport::Outcome::RetriesSpent ? L"runs spent on release "
                                                                      : L"failed on release ") +
                Printable(ReleaseText(r)) + L", reported " + Printable(r.strWritten) + L": " +
                Printable(r.strReason);
    }
    else
    {
        line += L"last report " + Printable(r.strWritten) + L", release " +
                Printable(ReleaseText(r));
    }
    return line + L"\r\n";
}

std::wstring Summary(const std::wstring& strFolder, const std::vector<const ReportFile*>& rows,
                     size_t nSkipped)
{
    std::map<std::wstring, std::map<Status, size_t>, std::greater<>> releases;
    std::map<Status, std::vector<const ReportFile*>> byStatus;
    for (const ReportFile* pFile : rows)
    {
        ++releases[ReleaseText(pFile->report)][pFile->status];
        byStatus[pFile->status].push_back(pFile);
    }
    std::wstring text = L"QVSMakeList: " + std::to_wstring(rows.size()) +
                        L" desktop reports in " + strFolder +
                        (nSkipped > 0 ? L" (" + std::to_wstring(nSkipped) + L" files skipped)"
                                      : std::wstring()) +
                        L"\r\nDesktops per release (newest first):\r\n";
    for (const auto& [release, counts] : releases)
    {
        size_t nAll = 0;
        std::wstring parts;
        for (const auto& [status, n] : counts)
        {
            nAll += n;
            parts += (parts.empty() ? L"" : L", ") + std::to_wstring(n) + L" " + StatusName(status);
        }
        text += L"  " + Printable(release) + L": " + std::to_wstring(nAll) + L" (" + parts + L")\r\n";
    }
    for (const Status status : {Status::Failed, Status::Silent})
    {
        const std::vector<const ReportFile*>& list = byStatus[status];
        text += (status == Status::Failed ? L"Failed (" : L"Not heard from for a week (") +
                std::to_wstring(list.size()) + L")" + (list.empty() ? L"\r\n" : L":\r\n");
        for (const ReportFile* pFile : list)
        {
            text += DesktopLine(*pFile);
        }
    }
    return text;
}

std::wstring Page(const std::wstring& strFolder, const std::vector<const ReportFile*>& rows,
                  const std::vector<const ReportFile*>& skipped)
{
    size_t counts[3] = {};
    for (const ReportFile* pFile : rows)
    {
        ++counts[static_cast<int>(pFile->status)];
    }
    SYSTEMTIME st{};
    GetSystemTime(&st);
    wchar_t szNow[32] = {};
    swprintf(szNow, 32, L"%04u-%02u-%02u %02u:%02u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute);
    std::wstring page =
        L"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        L"<title>QVS desktops</title>\n<style>\n"
        L"body{font:14px/1.4 sans-serif;margin:1.5em;color:#222}\n"
        L"table{border-collapse:collapse}\n"
        L"th,td{border:1px solid #bbb;padding:3px 8px;text-align:left;vertical-align:top}\n"
        L"th{background:#e8e8e8}\n"
        L"tr.failed td{background:#f9d6d5}\ntr.silent td{background:#fdf0c8}\n"
        L"tr.uptodate td{background:#e2f3e0}\ntd.n{text-align:right}\n"
        L"</style></head><body>\n<h1>QVS desktops</h1>\n<p id=\"counts\">" +
        std::to_wstring(rows.size()) + L" desktops: " + std::to_wstring(counts[0]) +
        L" failed, " + std::to_wstring(counts[1]) + L" not heard from for a week, " +
        std::to_wstring(counts[2]) + L" up to date. From " + Html(strFolder) + L", " + szNow +
        L".</p>\n<table id=\"desktops\">\n<thead><tr><th>Status</th><th>Computer</th>"
        L"<th>User</th><th>Installation</th><th>Release</th><th>Reason</th>"
        L"<th>Files copied</th><th>Read from the share</th><th>Duration</th><th>Version</th>"
        L"<th>Last report (UTC)</th>"
        L"</tr></thead>\n<tbody>\n";
    for (const ReportFile* pFile : rows)
    {
        const SCDesktopReport& r = pFile->report;
        const wchar_t* pszClass = pFile->status == Status::Failed   ? L"failed"
                                  : pFile->status == Status::Silent ? L"silent"
                                                                    : L"uptodate";
        const std::wstring strStatus =
            r.outcome == SCDesktopReport::Outcome::RetriesSpent ? L"failed, runs spent"
                                                                 : StatusName(pFile->status);
        std::wstring strWritten = r.strWritten;
        strWritten[10] = L' ';
        strWritten.pop_back();
        page += L"<tr class=\"" + std::wstring(pszClass) + L"\"><td>" + strStatus + L"</td><td>" +
                Html(r.strComputer) + L"</td><td>" + Html(r.strUser) + L"</td><td>" +
                Html(r.strRoot) + L"</td><td>" + Html(ReleaseText(r)) + L"</td><td>" +
                Html(r.strReason) + L"</td><td class=\"n\">" + std::to_wstring(r.nFilesCopied) +
                L"</td><td class=\"n\">" + BytesRead(r) + L"</td><td class=\"n\">" +
                Seconds(r.nDurationMs) + L"</td><td>" +
                Html(r.strVersion) + L"</td><td>" + Html(strWritten) + L"</td></tr>\n";
    }
    page += L"</tbody></table>\n";
    if (!skipped.empty())
    {
        page += L"<h2>Files skipped</h2>\n<ul id=\"skipped\">\n";
        for (const ReportFile* pFile : skipped)
        {
            page += L"<li>" + Html(pFile->strName) + L": " + Html(pFile->strProblem) + L"</li>\n";
        }
        page += L"</ul>\n";
    }
    return page + L"</body></html>\n";
}

// Into a temporary file beside it, then one replace: a reader never sees half a page.
DWORD WritePage(const std::wstring& strFolder, const std::wstring& strPage)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, strPage.data(), static_cast<int>(strPage.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strPage.data(), static_cast<int>(strPage.size()), bytes.data(),
                        n, nullptr, nullptr);
    // The report folder is every desktop's to write: the page goes through one of
    // the tool's temporary files, only ever created anew.
    return WriteBytesReplacing(strFolder, strFolder + L"\\" + kPageName, bytes.data(),
                               bytes.size());
}
} // namespace

int SummariseReports(const std::wstring& strGivenFolder, ConsoleWriter out, ConsoleWriter err)
{
    std::wstring strFolder = strGivenFolder;
    while (strFolder.size() > 3 && strFolder.back() == L'\\')
    {
        strFolder.pop_back();
    }
    std::vector<ReportFile> files;
    DWORD dwError = ERROR_SUCCESS;
    if (!ListReportFiles(strFolder, files, dwError))
    {
        err(L"QVSMakeList: the report folder \"" + strFolder + L"\" cannot be read (" +
            AfxSystemErrorLine(dwError) + L").\r\n");
        return 2;
    }
    ReadReportFiles(strFolder, files);

    FILETIME ftNow{};
    GetSystemTimeAsFileTime(&ftNow);
    const ULONGLONG nNow = (static_cast<ULONGLONG>(ftNow.dwHighDateTime) << 32) | ftNow.dwLowDateTime;
    std::vector<const ReportFile*> rows;
    std::vector<const ReportFile*> skipped;
    for (ReportFile& file : files)
    {
        if (!file.strProblem.empty())
        {
            skipped.push_back(&file);
            err(L"QVSMakeList: skipped " + Printable(file.strName) + L": " +
                Printable(file.strProblem) + L"\r\n");
            continue;
        }
        const SCDesktopReport& r = file.report;
        file.status = r.outcome != SCDesktopReport::Outcome::Succeeded ? Status::Failed
                      : nNow > TicksOfUtcStamp(r.strWritten) + kWeekTicks ? Status::Silent
                                                                           : Status::UpToDate;
        rows.push_back(&file);
    }
    std::sort(rows.begin(), rows.end(),
              [](const ReportFile* a, const ReportFile* b)
              {
                  return std::tie(a->status, a->report.strComputer, a->report.strRoot) <
                         std::tie(b->status, b->report.strComputer, b->report.strRoot);
              });
    out(Summary(strFolder, rows, skipped.size()));
    dwError = WritePage(strFolder, Page(strFolder, rows, skipped));
    if (dwError != ERROR_SUCCESS)
    {
        err(L"QVSMakeList: cannot write " + strFolder + L"\\" + kPageName + L" (" +
            AfxSystemErrorLine(dwError) + L").\r\n");
        return 4;
    }
    out(L"Page: " + strFolder + L"\\" + kPageName + L"\r\n");
    return 0;
}
