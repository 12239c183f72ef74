#pragma once
// "QVS.ini" beside the program, shared with the client: the only code that
// touches it. Nothing is cached; every read and write goes to the file.

#include "lib/Time.h"

#include <string>

// The key's value; empty when the file, the section or the key is missing.
// Raises (no code) for a value of 524,287 characters or more.
std::wstring ReadConfString(const std::wstring& strSection, const std::wstring& strKey);

// Writes the value (never deletes the key); true when written.
bool WriteConfString(const std::wstring& strSection, const std::wstring& strKey,
                     const std::wstring& strValue);

// "SourceFolder" of section "HotUpdate": where the release is taken from.
std::wstring ReadSourceFolder();

// Records a run's outcome: "UpdateSucceeded", "UpdateDateTime", "UpdateFailureReason".
void WriteUpdateResult(bool bSucceeded, SCDateTime dtWhen, const std::wstring& strReason);
