#pragma once
// Who holds a file open, as the system's Restart Manager can tell: each program
// by its name, process number and session. Empty where the system cannot tell.

#include <string>

// "QVS.exe (process 4711, session 2)", several joined by ", "; empty when nobody
// is known to hold the file or the system cannot say.
std::wstring SCDescribeFileHolders(const std::wstring& strPath);
