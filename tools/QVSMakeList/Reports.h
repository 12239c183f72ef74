#pragma once
// QVSMakeList --report <report folder>: every desktop's last report, read from the
// folder the clients write them into (QVS.ini ReportFolder), summed up on the
// console and laid out in report.html beside them, worst first.

#include <string>
#include <string_view>

using ConsoleWriter = void (*)(std::wstring_view text);

// Reads the reports, prints the summary with out (each skipped file named with
// err), and writes report.html into the folder. 0 when the page was written, 2
// when the folder cannot be read, 4 when the page cannot be written.
int SummariseReports(const std::wstring& strFolder, ConsoleWriter out, ConsoleWriter err);
