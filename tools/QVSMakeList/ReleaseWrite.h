#pragma once
// What the tool writes into the release folder goes there through temporary files
// of its own, each made anew and then put in the place of the published file in
// one step: a client never reads half a file. A share writer may plant anything
// under a temporary name beforehand (a link to a system file, say): a temporary
// file is only ever created, never opened over a name that exists.
//
// The names: "~QVSMakeList-" + process number in hex + "-" + a number in hex +
// ".tmp" (older versions made "~QVSMakeList-<process>.tmp" and
// "~QVSMakeList-<process>-sha256.tmp"). They are never listed, and those of runs
// that ended are removed.

#include "framework/AfxHandle.h"

#include <windows.h>

#include <string>
#include <string_view>

// The name is one of the tool's temporary names; *pProcessId gets its process.
bool IsTempName(std::wstring_view name, DWORD* pProcessId);
// The name is one of them, made by a process that no longer runs.
bool IsStaleTempName(std::wstring_view name);
// Removes the temporary files of ended runs from one folder (not below it).
void RemoveStaleTemps(const std::wstring& strFolder);

// A new temporary file in strFolder, open for writing and for no one else; its
// path in strPath. An invalid handle and the system's code in dwError when none
// can be made.
UniqueFile CreateTempFile(const std::wstring& strFolder, std::wstring& strPath, DWORD& dwError);
// Puts the temporary file in the place of strPath in one step (a read-only file
// there is replaced too), retrying for 10 s while a client holds the old one open.
// ERROR_SUCCESS, or the system's code (the temporary file is then removed).
DWORD PutInPlace(const std::wstring& strTemp, const std::wstring& strPath);
// Writes the bytes through a temporary file in strFolder (flushed) into strPath,
// a file of that folder. ERROR_SUCCESS or why not (the temporary file removed).
DWORD WriteBytesReplacing(const std::wstring& strFolder, const std::wstring& strPath,
                          const void* pBytes, size_t nBytes);
// Writes text (its UTF-16 units as they are) through a temporary file into
// strFolder\pszName. ERROR_SUCCESS or why not.
DWORD WriteReplacing(const std::wstring& strFolder, const wchar_t* pszName,
                     const std::wstring& text);
