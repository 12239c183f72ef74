#pragma once
// The program's temporary files in the installation: a copy is written beside its
// destination under a temporary name before it takes the destination's place, and
// the file it replaces is moved aside under such a name too. The name tells who made
// it: "~QVSCopy-" + process number + the moment the process started + a number, in
// hex, + ".tmp". What a run that has ended left behind (killed, or an aside file
// that was in use) is removed by the next run; it is never listed or published.

#include <string>
#include <string_view>

// A new temporary name in the folder of strPath (a path of a file), for this process.
std::wstring SCLeftoverPathBeside(const std::wstring& strPath);

// The name is one of those temporary names (also of the older form without the
// process's start).
bool SCIsLeftoverName(std::wstring_view name) noexcept;

// The name is one of those, made by a process that has ended. Names of this
// process count as ended: its own are cleared only while it has none in use.
bool SCIsEndedRunLeftover(std::wstring_view name) noexcept;

// Removes such files of ended runs from one folder (given with or without a final
// backslash), whatever their attributes; the number removed. Files still in use
// stay for a later run.
int SCRemoveEndedRunLeftovers(const std::wstring& strFolder);
