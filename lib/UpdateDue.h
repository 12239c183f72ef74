#pragma once
// When a start runs an update, how many runs a release that keeps failing is
// given, and whether a failed run keeps the user waiting. Rules only: the dialog
// gathers the facts and carries the decision out.

#include "lib/ConfFile.h"
#include "lib/Time.h"

#include <string>

// A release that keeps failing is run this many times; then the everyday start
// leaves it until a newer one is published or a run is forced.
inline constexpr unsigned kRunsPerRelease = 3;

// What a start knows of the release and of the runs before it.
struct SCUpdateFacts
{
    // The release folder answered with its list, of that time stamp.
    bool bReleaseFound = false;
    SCDateTime dtRelease{1};
    // The installation's copy of the list, taken by the last run that began.
    bool bLocalFound = false;
    SCDateTime dtLocal{1};
    // "UpdateSucceeded" as recorded ("0" while a run is under way or after one
    // failed). Read only when the release is not new.
    std::wstring strLastOutcome;
    // The failed runs as recorded. Read only when a run may be due.
    SCFailedRuns runs;
    bool bForced = false;
    // A ReleaseKey is set: a release list of another time stamp than the copy is
    // new, not only a later one.
    bool bAnyChange = false;
};

enum class SCUpdateDecision
{
    NotDue,       // no release, or nothing new and the last run succeeded
    Due,          // a new release, or a run of this one to do again
    RetriesSpent, // this release failed kRunsPerRelease times: only a newer one
                  // or a forced run runs again
};

// A release is seen by the time stamp of its list, to the second: it is new when
// the installation has no copy of its list or an older one (with bAnyChange,
// another one).
bool IsNewRelease(const SCUpdateFacts& facts) noexcept;

// Whether the outcome and the runs must be read to decide: only with a release
// that is new, or when the last run did not succeed.
bool NeedsRunHistory(const SCUpdateFacts& facts) noexcept;

// strReleaseTime: the release's list stamp as "FailedReleaseListTime" records it.
SCUpdateDecision DecideUpdate(const SCUpdateFacts& facts, const std::wstring& strReleaseTime);

// The runs of the release with that list stamp, the one starting now included.
SCFailedRuns CountRunStarted(const SCFailedRuns& recorded, const std::wstring& strReleaseTime);

// A run that failed before any copy keeps the user waiting for OK (the client is
// not started) only the first time a release fails so, or when the run was
// forced: a start that tries the release again reaches the client by itself. A
// run whose copy already asked for the client's start never waits.
bool KeepsUserWaiting(bool bForced, unsigned nRunOfRelease, bool bLaunchPending) noexcept;
