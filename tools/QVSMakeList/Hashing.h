#pragma once
// The release record of the listed files: each file's size and SHA-256, read on a
// few threads, in the release folder itself or, with --from, in the build folder
// while it is copied into the release folder. A file is opened without sharing
// write access, so one still being written is reported rather than read half-way,
// and its last-write time must still be the list's stamp: the list and the record
// describe the same file.

#include "framework/AfxHandle.h"
#include "lib/File.h"
#include "lib/ReleaseRecord.h"

#include <string>
#include <string_view>
#include <vector>

// One listed file: where it lies, where its copy goes, and its size and SHA-256
// once read.
struct HashJob
{
    const FileListEntry* pEntry = nullptr;
    std::wstring strPath;       // the file read
    std::wstring strCopyFolder; // --from: the release folder's folder it is copied into
    size_t nCopyRoot = 0;       // --from: the length of the release folder's path in it
    std::wstring strTemp;       // --from: its copy there, under a temporary name
    SCReleaseRecord::Item item;
    std::wstring strProblem; // why it has no record line; empty when it has one
};

// Opens a release file for reading with nobody else allowed to write it, and gives
// its last-write time and list stamp; an empty handle when it cannot, with the
// reason in strProblem.
UniqueFile OpenUnwritten(const std::wstring& strPath, FILETIME& ftWrite, std::wstring& stamp,
                         std::wstring& strProblem);

// Told now and then how many of how many files are done (from one thread only).
using HashCounter = void (*)(size_t nDone, size_t nTotal);
using ProblemWriter = void (*)(std::wstring_view text);

// The record of the listed files and the list text, every job in jobs. The files
// lie below strFilesFolder as the entries' folders lie below strServerFolder;
// with strCopyTo (--from) each is copied below that folder too. Empty when a file
// has no line: each problem was written with problem.
std::wstring MakeRecord(const std::wstring& strFilesFolder, const std::wstring& strCopyTo,
                        const std::wstring& strServerFolder, const FileList& list,
                        const std::wstring& strListText, std::vector<HashJob>& jobs,
                        HashCounter counter, ProblemWriter problem);
