#pragma once
// "QVS.ini" beside the program, shared with the client: the only code that
// touches it. Nothing is cached; every read and write goes to the file.
// The settings the administrator sets are read as they are in force: a policy's
// value (lib/Policy.h) before the key of QVS.ini, which comes before the default.

#include "lib/Time.h"

#include <windows.h>

#include <string>

// The key's value; empty when the file, the section or the key is missing.
// Raises (no code) for a value of 524,287 characters or more.
std::wstring ReadConfString(const std::wstring& strSection, const std::wstring& strKey);

// Writes the value (never deletes the key); true when written.
bool WriteConfString(const std::wstring& strSection, const std::wstring& strKey,
                     const std::wstring& strValue);

// "SourceFolder" of section "HotUpdate" (or policy): where the release is taken from.
std::wstring ReadSourceFolder();

// "ReportFolder" of section "HotUpdate" (or policy): where each start that ran a release (or
// found its runs spent) leaves this installation's report; empty: no report.
std::wstring ReadReportFolder();

// Records a run's outcome: "UpdateSucceeded", "UpdateDateTime", "UpdateFailureReason".
void WriteUpdateResult(bool bSucceeded, SCDateTime dtWhen, const std::wstring& strReason);

// Runs of one release that did not succeed: the release is known by the time
// stamp of its list ("FailedReleaseListTime", in the pattern of "UpdateDateTime"),
// the count is "FailedRunsOfRelease" (0 after a run that succeeded).
struct SCFailedRuns
{
    std::wstring strReleaseListTime;
    unsigned nRuns = 0;
};
SCFailedRuns ReadFailedRuns();
void WriteFailedRuns(const SCFailedRuns& runs);

// "ReleaseFolderTimeoutSeconds": how long the everyday start waits for the release
// folder to answer before it starts QVS.exe without updating; 3 s when the key is
// missing or not a whole number of seconds from 1 to 600.
DWORD ReadReleaseFolderTimeoutMs();

// "ReleaseFolderStallSeconds": how long a call on the release folder during a run
// (a copy, the record's read) may go without progress before it is abandoned and
// the run ends as failed; 20 s when the key is missing or not a whole number of
// seconds from 1 to 600.
DWORD ReadReleaseFolderStallMs();
