#include "lib/UpdateDue.h"

#include <algorithm>

bool IsNewRelease(const SCUpdateFacts& facts) noexcept
{
    if (!facts.bReleaseFound)
    {
        return false;
    }
    if (!facts.bLocalFound || facts.dtRelease > facts.dtLocal)
    {
        return true;
    }
    // A signed release's list only counts where its stamp differs: a list dated far
    // ahead by a share writer must not hold back every later release.
    return facts.bAnyChange && facts.dtLocal > facts.dtRelease;
}

bool NeedsRunHistory(const SCUpdateFacts& facts) noexcept
{
    return facts.bReleaseFound && (IsNewRelease(facts) || facts.strLastOutcome == L"0");
}

SCUpdateDecision DecideUpdate(const SCUpdateFacts& facts, const std::wstring& strReleaseTime)
{
    if (!NeedsRunHistory(facts))
    {
        return SCUpdateDecision::NotDue;
    }
    // A run of the release that failed, or never finished, is run again, but not
    // for ever: a release that keeps failing costs a few runs only.
    const bool bSpent =
        facts.runs.strReleaseListTime == strReleaseTime && facts.runs.nRuns >= kRunsPerRelease;
    return bSpent && !facts.bForced ? SCUpdateDecision::RetriesSpent : SCUpdateDecision::Due;
}

SCFailedRuns CountRunStarted(const SCFailedRuns& recorded, const std::wstring& strReleaseTime)
{
    SCFailedRuns runs;
    runs.strReleaseListTime = strReleaseTime;
    // The count has four digits in QVS.ini; it stops there.
    runs.nRuns = recorded.strReleaseListTime == strReleaseTime ? std::min(recorded.nRuns + 1, 9999u)
                                                               : 1;
    return runs;
}

bool KeepsUserWaiting(bool bForced, unsigned nRunOfRelease, bool bLaunchPending) noexcept
{
    return !bLaunchPending && (bForced || nRunOfRelease <= 1);
}
