#pragma once
// The two folders every path is built from: the program's own folder (with a
// final backslash) and the installation root one level above it (without one).

#include <string>

// The folder of the running program, ending with a backslash; empty when the
// program's path holds no backslash.
const std::wstring& GetAppFolder();

// The parent of the program folder, without a final backslash. Raises code 15000
// when the program folder has fewer than two folder levels.
std::wstring GetAppRootFolder();

// The folder part of a program path: up to and including its last backslash.
std::wstring AppFolderFromModulePath(const std::wstring& strModulePath);

// The root folder of a program folder; raises code 15000 as GetAppRootFolder does.
std::wstring RootFolderFromAppFolder(const std::wstring& strAppFolder);

// Tests put the program folder where they need it; empty text returns to the real one.
void SetAppFolderForTesting(const std::wstring& strAppFolder);
