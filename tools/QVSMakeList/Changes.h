#pragma once
// What a release changes against the folder's last signed release: every file
// added, changed (size or SHA-256) or removed, by folder and name as the records
// name them. Signing in place shows it, and signs only once the administrator
// has accepted it: a share writer's file is then never signed unseen.

#include "tools/QVSMakeList/Hashing.h"

#include <string>
#include <string_view>
#include <vector>

struct FileChange
{
    enum class Kind
    {
        Added,
        Changed,
        Removed,
    };
    Kind kind = Kind::Added;
    std::wstring strFolder;
    std::wstring strName;
    SCReleaseRecord::Item item; // the new file's; a removed one's as the old record had it
};

// The changes from the previous record (pPrevious parsed from previousText; null:
// there is none to trust, and every file counts as added) to the new release's
// files: added, changed, then removed, each sorted by folder and name.
std::vector<FileChange> ChangesSince(const SCReleaseRecord* pPrevious,
                                     std::wstring_view previousText,
                                     const std::vector<HashJob>& jobs);

// The changes, one line each: "  changed  <folder><name>  <size> bytes  sha256 <hex>".
std::wstring FormatChanges(const std::vector<FileChange>& changes);
