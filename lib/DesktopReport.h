#pragma once
// A desktop's report: what the last start of one installation did, written by the
// client into the administrator's report folder (QVS.ini [HotUpdate] ReportFolder)
// and read back by QVSMakeList --report. One file per installation, replaced whole
// at every report.
//
// The file: UTF-8 without byte-order mark, every line ended by LF alone:
//     QVSDesktopReport 2
//     computer=...      user=...      root=...      release=...
//     outcome=succeeded|failed|retries-spent        reason=...
//     copied=N          copied-bytes=N               read-bytes=N
//     duration-ms=N     version=...    written=YYYY-MM-DDTHH:MM:SSZ
// one key a line, each exactly once, in this order. copied-bytes: what the files the
// run staged hold; read-bytes: what it read from the share for them (files built
// from their installed versions' blocks read less). Reports of format 1, which
// earlier clients write, lack those two keys and are read too. In every value "%" and the
// code units that could end or hide a line (C0 controls, DEL, U+0085, U+2028,
// U+2029) are written %XX or %uXXXX (upper-case hex), as is a lone surrogate; N is
// decimal without leading zeros. Anything else is not a report.

#include <windows.h>

#include <string>
#include <string_view>

struct SCDesktopReport
{
    enum class Outcome
    {
        Succeeded,
        Failed,
        // The start found a release whose runs are spent and did not run it.
        RetriesSpent,
    };

    std::wstring strComputer;
    std::wstring strUser;
    std::wstring strRoot;
    // The release list's time stamp, as FailedReleaseListTime records it.
    std::wstring strRelease;
    Outcome outcome = Outcome::Failed;
    std::wstring strReason;
    ULONGLONG nFilesCopied = 0;
    ULONGLONG nBytesCopied = 0;
    ULONGLONG nBytesRead = 0;
    // False for a report of format 1, which does not tell the bytes.
    bool bBytesKnown = true;
    ULONGLONG nDurationMs = 0;
    std::wstring strVersion;
    // When it was written, in UTC: "2026-01-10T12:03:04Z".
    std::wstring strWritten;

    // This computer, this user, this program's version and the time now.
    void FillWhoAndWhen();
    std::string Format() const;
    // False when the bytes are not a report of this format; strWhy says where.
    static bool Parse(std::string_view bytes, SCDesktopReport& report, std::wstring& strWhy);
    static const wchar_t* OutcomeName(Outcome outcome) noexcept;
};

// A report file holds no more than this; a larger file is not read.
inline constexpr size_t kMaxDesktopReportBytes = 128 * 1024;
inline constexpr wchar_t kDesktopReportExtension[] = L".qvsreport";

// The report file of an installation: the computer's name (every character
// other than a letter, digit, '-' or '_' as ~XXXX) and the SHA-256 of the
// installation root's path in capitals, cut to 16 hex digits:
// "PC042-0123456789abcdef.qvsreport".
std::wstring DesktopReportFileName(const std::wstring& strComputer, const std::wstring& strRoot);

// Writes the report into the folder through a temporary file beside it and one
// replace, on a thread of its own: a folder that does not answer within
// dwDeadlineMs is left behind (and with it at most the temporary file, which the
// next report of the installation removes).
struct SCReportWriteResult
{
    bool bAnswered = true;
    DWORD dwError = ERROR_SUCCESS; // when it answered
};
SCReportWriteResult WriteDesktopReport(const std::wstring& strFolder,
                                       const SCDesktopReport& report, DWORD dwDeadlineMs);
