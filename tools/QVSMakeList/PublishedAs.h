#pragma once
// --published-as: the UNC path under which clients reach a release when it is not
// \\<this computer>\<path after the drive> (a DFS namespace, a DNS alias of the
// file server, a server that moved). The list and the record then name their
// folders under that path; clients need nothing new, their SourceFolder is it.

#include "lib/File.h"

#include <string>

// The value as the lists write it, \\server\share[\folder...] without a final
// backslash (one is dropped), or empty with strError saying why it cannot serve.
std::wstring CheckPublishedAs(const std::wstring& strGiven, std::wstring& strError);

// Every entry's folder below strFrom (the folder form of this computer) goes below
// strTo instead: "\\HOST\Release\bin\" becomes "\\corp.example\apps\Release\bin\".
void RenameListFolders(FileList& list, const std::wstring& strFrom, const std::wstring& strTo);
