#pragma once
// QVSMakeList's side of the block indexes (lib/BlockIndex.h): as the release record
// is made, the index of every listed file of kBlockIndexThreshold bytes or more is
// written into the release folder's HotUpdateFileList_Server.blocks (one for each
// content: files of equal bytes share one), and the record gets a line naming each.
// An index whose bytes are there already is kept as it is; every other file there
// (the indexes of earlier releases, the leftovers of stopped runs) is removed.

#include "lib/ReleaseRecord.h"

#include <windows.h>

#include <string>
#include <vector>

// A listed file, as the record describes it.
struct SCIndexedFile
{
    std::wstring strPath;       // where it lies in the release folder
    std::wstring strStamp;      // the list's stamp of it, which it must still have
    SCReleaseRecord::Item item; // its size and SHA-256
};

struct SCBlockIndexes
{
    // The record's lines of the indexes, to stand after the files' lines and before
    // a signed block.
    std::wstring strRecordLines;
    // Each file that could not be indexed, and why ("path (why)"); the system's code
    // when the indexes could not be written. Either way the release must not be
    // published.
    std::vector<std::wstring> problems;
    DWORD dwWriteError = ERROR_SUCCESS;
    size_t nIndexes = 0;
    ULONGLONG nIndexBytes = 0;
};

// Writes the indexes of the files of strReleaseFolder (a local path without a
// final backslash) that need one, on a few threads.
SCBlockIndexes SCPublishBlockIndexes(const std::wstring& strReleaseFolder,
                                     const std::vector<SCIndexedFile>& files);
