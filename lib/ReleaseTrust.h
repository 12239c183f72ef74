#pragma once
// Which releases an installation takes: the rule of signed releases. It shows no
// window and writes only QVS.ini; the dialog asks it before the copy and says
// what it refused.
//
// QVS.ini, section [HotUpdate]:
//   ReleaseKey             the administrator's (in QVS.ini or set by a policy, which
//                          comes first): the public key (ecdsa-p256:...)
//                          that signs releases. Missing or empty: releases are
//                          taken as they always were, signed or not, and none
//                          of the keys below is read or written.
//   PinnedReleaseKey       the program's: the key that replaced ReleaseKey
//                          through a rotating release (one whose signed record
//                          names a next key);
//   PinnedFromReleaseKey   the ReleaseKey value in force when it was pinned: an
//                          administrator who edits ReleaseKey starts afresh, and
//                          the pin counts only while the two agree;
//   PinnedByRecord         the SHA-256 of the signed part of the rotating
//                          release's record;
//   InstalledReleaseNumber the number of the newest signed release whose copy
//                          began here;
//   InstalledUnderReleaseKey the ReleaseKey value in force when that number was
//                          written: an administrator who edits ReleaseKey (not a
//                          rotation, which leaves it as it is) starts the count
//                          afresh. Missing (installations of earlier versions):
//                          the number counts.
//
// With ReleaseKey set, a release is installed only when
//   - its record belongs to the list being installed (the list of one release
//     beside the record of another is refused),
//   - the record is signed, by the trusted key (the pin while it counts,
//     otherwise ReleaseKey), and the signature holds,
//   - its number is not lower than InstalledReleaseNumber (an older signed
//     release put back, with its list touched to look new, is refused),
//   - the record names every file the run would copy,
//   - and no stamp of the list lies more than a day ahead of the clock (a list
//     dated 2079 would hold back every later release).
// A ReleaseKey, or one of the program's keys, that cannot be read refuses every
// release and says which key: nothing is installed on a trust that is unclear.
//
// When it is all recorded: at the start of the copy, before the first file is
// replaced, the number and, for a rotating release, the pin, one key after the
// other in an order that no end of the process between two of them can turn
// against the release (SCReleaseTrustDecision::Writes). From that moment
// the installation may hold files of the release, so an end of the process at
// any later point (killed, power cut) must not let an older release back in, nor
// another release signed only by the old key: both are written first. Nothing
// more is recorded when the copy succeeds; the outcome keys say that as for
// every run.
//
// A rotating release that fails half-way is run again (the retries of every
// failed run), but the pin has already moved to the next key, and the release
// is signed by the old one. It is still accepted because PinnedByRecord names
// exactly its signed content: only that one record of the old key passes, not
// any other the old key may sign (rotating is what one does when a key may be
// lost). The next release, signed by the new key, passes whether the rotating
// one ever completed or not: the pin moved when its copy began.
//
// A desktop that never ran the rotating release (switched off while it was
// published) still trusts the old key and refuses the new key's releases, saying
// "signed by another key": leave the rotating release published until every
// desktop has started once, or edit that desktop's ReleaseKey.

#include "lib/File.h"
#include "lib/Policy.h"
#include "lib/ReleaseRecord.h"

#include <string>
#include <utility>
#include <vector>

// What QVS.ini holds for the rule, as text; ReleaseKey as it is in force (a policy
// may set it: lib/Policy.h), the program's own keys always from QVS.ini.
struct SCReleaseTrustSettings
{
    std::wstring strReleaseKey;
    SCSettingSource releaseKeySource = SCSettingSource::ConfFile;
    std::wstring strPinnedKey;
    std::wstring strPinnedFrom;
    std::wstring strPinnedBy;
    std::wstring strInstalledNumber;
    std::wstring strInstalledUnder;

    static SCReleaseTrustSettings Read();
};

struct SCReleaseTrustDecision
{
    enum class Verdict
    {
        NotRequired, // no ReleaseKey: releases are taken as they always were
        Accepted,
        Refused,
    };
    Verdict verdict = Verdict::NotRequired;
    // Refused: why, naming the check and the release folder. Accepted: the log's
    // line that says which release is installed under which key.
    std::wstring strText;

    // Accepted: what is recorded as the copy begins.
    ULONGLONG nReleaseNumber = 0;
    bool bPin = false; // the release names a next key
    std::wstring strPinnedKey;
    std::wstring strPinnedFrom;
    std::wstring strPinnedBy;
    std::wstring strInstalledUnder;

    // What RecordReleaseAtCopyStart writes into QVS.ini, key and value, in that
    // order: each write on its own leaves the release accepted, so a start killed
    // between two of them finds it still taken. Nothing for the other verdicts.
    std::vector<std::pair<std::wstring, std::wstring>> Writes() const;
};

// The rule itself: the settings, the release folder (for the texts), the release's
// record as loaded for the list being installed (SCReleaseRecord::LoadFor, whatever
// its state), and the release list's entries with their copy plan (the targets
// CompareLists gave). An empty list checks the record alone, as a run does before
// it takes the list as seen.
SCReleaseTrustDecision CheckReleaseTrust(const SCReleaseTrustSettings& settings,
                                         const std::wstring& strReleaseFolder,
                                         const SCReleaseRecord& record, const FileList& plan);

// Writes what an accepted decision records as the copy begins; nothing for the
// other verdicts. ERROR_SUCCESS, or the system's code when QVS.ini could not be
// written (the copy must then not begin: what guards the installation is not kept).
DWORD RecordReleaseAtCopyStart(const SCReleaseTrustDecision& decision);
