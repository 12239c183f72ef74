#pragma once
// --from: a release published from the administrator's build folder, a folder
// that share users cannot write. The files, their stamps and their hashes come
// from there; each is copied into the release folder through a temporary file
// that keeps the build's last-write time, and takes its place there once every
// file is copied, before the record and the list are written. The record holds
// what was read in the build folder, so a file changed on the share during or
// after publishing is refused by every desktop. Files of the release folder that
// the build folder does not have are left where they are and never listed.

#include "tools/QVSMakeList/Hashing.h"

#include <windows.h>

#include <string>
#include <vector>

// Why the build folder cannot serve for this release folder (both full local
// paths, as they were checked): the same folder, or one inside the other, also
// when reached through a link or a substituted drive. Empty when it can.
std::wstring CheckBuildFolder(const std::wstring& strBuild, const std::wstring& strRelease);

// The release folder's files, in its own form (D:\Release\bin\x.dll), that the
// build's list does not name (ignoring case, as names are). The entries' folders
// lie below strBuildServer. Temporary files of the tool's ended runs met on the
// way are removed.
std::vector<std::wstring> FilesNotInBuild(const std::wstring& strRelease, const FileList& build,
                                          const std::wstring& strBuildServer);

// Copies the open build file into a new temporary file in job.strCopyFolder
// (made when missing, below the release folder: job.strPath's counterpart),
// hashing it on the way; the copy gets ftWrite. ERROR_SUCCESS, or the system's
// code (and no copy left).
DWORD CopyBuildFile(HANDLE hSource, const FILETIME& ftWrite, HashJob& job);

// Puts every copy in the place of its file, in the list's order. Empty, or what
// failed: the copies not yet in place are removed.
std::wstring PlaceCopies(std::vector<HashJob>& jobs);
// Removes every copy (a run that stops before placing them).
void DropCopies(std::vector<HashJob>& jobs);
