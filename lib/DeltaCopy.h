#pragma once
// The copy of a changed release file from the blocks its installed version already
// holds: a way of staging a file into its temporary file beside its destination,
// for a file the record names together with a block index (lib/BlockIndex.h).
// 1. The index is read from the share within its record line's size (and
//    kMaxBlockIndexBytes) and used only when its bytes have that line's SHA-256
//    and it describes the record's file (its size and SHA-256).
// 2. The installed file is scanned for every block of the index, at any offset
//    (lib/BlockMatch.h).
// 3. The temporary file is written block after block: the blocks found from the
//    installed file, the others read from the share at their offsets.
// 4. What was written is checked against the record's size and SHA-256 exactly as
//    a whole copy is; it takes the release file's attributes and time (or the
//    signed stamp), as a whole copy does.
// Whenever this gives no checked file (no installed version worth scanning, one
// that holds less than a quarter of the file, an index or a result that does not
// match, a read that fails) the caller copies the file whole, and the temporary
// file is gone. Every read of the share, and every piece of the installed file,
// is a sign of life for a caller that waits with a deadline.

#include "lib/ReleaseRecord.h"

#include <windows.h>

#include <atomic>
#include <string>

struct SCDeltaSource
{
    std::wstring strSource;         // the release file on the share
    SCReleaseRecord::Item expected; // the record's line of the file
    std::wstring strIndex;          // its block index on the share
    SCReleaseRecord::Item index;    // the record's line of the index
    std::wstring strInstalled;      // the installed version of the file
};

enum class SCDeltaOutcome
{
    Built,           // the temporary file holds the release's file, checked
    Whole,           // nothing worth building from: the file is copied whole
    IndexRefused,    // the index is not the one its record line names, or not of this file
    IndexUnreadable, // the index could not be read (dwError says why)
    NotRelease,      // what was built does not match the record: never installed
};

struct SCDeltaResult
{
    SCDeltaOutcome outcome = SCDeltaOutcome::Whole;
    DWORD dwError = ERROR_SUCCESS;
    // Read from the share, the index included, whatever the outcome.
    ULONGLONG nShareBytes = 0;
    // Built: the file's size.
    ULONGLONG nBytes = 0;
};

// Builds strTemp from the installed file's blocks and the share; pStamp: the
// last-write time it takes instead of the release file's (a signed release's).
// Never throws.
SCDeltaResult SCCopyFromBlocks(const SCDeltaSource& source, const std::wstring& strTemp,
                               std::atomic<ULONGLONG>& lastSign,
                               const FILETIME* pStamp = nullptr) noexcept;
