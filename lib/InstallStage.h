#pragma once
// The first step of an install: every planned file of the release is copied, and
// checked against the release record, into a temporary file beside its destination
// (staged), on a thread of its own, while the caller reports each file in the list's
// order and keeps its window answering. Nothing of the installation changes in this
// step; the switch (lib/InstallSwitch.h) comes only once every file is staged.
//
// Before the first copy the planned files' sizes are added up per volume and set
// against the volume's free space: a release that cannot fit is not begun.

#include "lib/DeltaCopy.h"
#include "lib/File.h"
#include "lib/FileCopy.h"
#include "lib/ReleaseRecord.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// One planned file, and how its staging went.
struct SCInstallItem
{
    enum class Kind
    {
        Copy,
        Refused,     // its destination would not lie inside the installation
        NotInRecord, // checked against a record that does not name it
    };
    Kind kind = Kind::Copy;
    std::wstring strSource; // as the list spells it: a case-sensitive server finds it at once
    std::wstring strShown;  // in capitals, as file names ignore case
    std::wstring strFolder; // the list entry's folder
    std::wstring strTarget;
    std::wstring strDestination;
    std::wstring strRefusal;
    bool bChecked = false;
    SCReleaseRecord::Item expected;
    // The release's block index of the file, when the record names one: the file is
    // then built from its installed version's blocks where it can be
    // (lib/DeltaCopy.h).
    bool bIndexed = false;
    std::wstring strIndex;
    SCReleaseRecord::Item index;
    // How that went: anything but Built and Whole is said in the log, once.
    SCDeltaOutcome delta = SCDeltaOutcome::Whole;
    DWORD dwDeltaError = ERROR_SUCCESS;
    // The last-write time it takes: the signed list's stamp, or the source's.
    bool bStamp = false;
    FILETIME ftStamp{};
    SCCopyResult result;
    // The staged copy, once result is Copied.
    std::wstring strStaged;
};

// Every entry of the list with a target folder, in the list's order; checked
// against the record when one is given (and built from its installed version when
// the record names an index of it); with bSignedStamps each file takes the stamp
// the list gives for it.
std::vector<SCInstallItem> SCPlanInstall(const FileList& list, const std::wstring& strRoot,
                                         const SCReleaseRecord* pRecord, bool bSignedStamps);

// A release too large for the free space of a volume it goes to.
struct SCSpaceShortfall
{
    std::wstring strFolder; // a folder of that volume the release writes into
    ULONGLONG nNeeded = 0;
    ULONGLONG nFree = 0;
};

// What the staging and its thread share; whichever lets go last frees it. The
// thread may be left behind in a call to a share that stopped answering, so it owns
// everything it touches through this.
struct SCStageRun
{
    std::vector<SCInstallItem> items;
    // Checked against a record: the sizes are known, and each file is hashed.
    bool bHashing = false;
    std::mutex mutex;
    // The items below nDone are finished; nReading is the one whose file is read
    // now. Moved by the staging thread under mutex.
    size_t nDone = 0;
    size_t nReading = 0;
    // A file could not be staged: nothing more is begun. Set by the thread.
    bool bFailed = false;
    // Set (filled by the thread) when the release cannot fit.
    bool bNoSpace = false;
    SCSpaceShortfall shortfall;
    // Set under mutex when the caller stops waiting: what the thread finishes
    // after that is discarded.
    bool bAbandoned = false;
};

// The staging thread: the space check, then every Copy item in the list's order,
// until one fails. Never throws.
void SCStageItems(SCStageRun& run, std::atomic<ULONGLONG>& lastSign) noexcept;

// The space the files take on a volume of this cluster size.
ULONGLONG SCSpaceOnDisk(ULONGLONG nBytes, ULONGLONG nClusterBytes) noexcept;
