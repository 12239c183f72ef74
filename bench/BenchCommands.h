#pragma once
// The commands of QVSBench.exe, each in the file named beside it (the head of
// QVSBench.cpp says what each does, bench/README.md which row of bench/run it
// measures). Each returns the program's exit code.

#include <windows.h>

#include <string>
#include <vector>

namespace qvsbench
{
// MakeData.cpp: make-tree, make-start, make-run, make-release, make-verify,
// make-stall-deadline
int MakeTreeCommand(const std::wstring& root, unsigned nFiles);
int MakeStartCommand(const std::wstring& folder);
int MakeRunCommand(const std::wstring& folder, unsigned nFiles);
int MakeReleaseCommand(const std::wstring& folder, unsigned nFiles,
                       const std::wstring& publishedAs);
int MakeVerifyCommand(const std::wstring& folder);
int MakeStallDeadlineCommand(const std::wstring& folder, const std::wstring& release,
                             const std::wstring& publishedAs);

// StartRow.cpp: row 1
int StartCommand(const std::wstring& folder, int nRounds, const std::vector<std::wstring>& extra);
// WalkRow.cpp: row 2
int WalkCommand(const std::vector<std::wstring>& roots, int nRounds);
// FullRunRow.cpp: row 4, and walk-copy, its baseline's child
int FullRunCommand(const std::wstring& folder, unsigned nFiles, int nRounds,
                   const std::vector<std::wstring>& extra);
int WalkCopyCommand(const std::wstring& folder, unsigned nFiles);
// MemoryRow.cpp: row 5
int MemoryCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& startFolder);
// StalledFolderRow.cpp: row 6
int ShareStallCommand(const std::wstring& folder, const std::wstring& mountFolder,
                      const std::wstring& unc, const std::wstring& control, int nRounds,
                      DWORD dwWaitMs);
// SlowShareRow.cpp: row 7
int ShareStartCommand(const std::wstring& folder, const std::wstring& fuseRelease,
                      const std::wstring& fuseUnc, const std::wstring& control, int nRounds);
int ShareRunCommand(const std::wstring& folder, unsigned nFiles, int nRounds,
                    const std::wstring& fuseRelease, const std::wstring& control);
// ReleaseRecordRow.cpp: row 8
int VerifyRunCommand(const std::wstring& folder, int nRounds,
                     const std::vector<std::wstring>& extra = {});
// SignedRunRow.cpp: row 9
int SignedRunCommand(const std::wstring& folder, int nRounds);
// StallDeadlineRow.cpp: row 10
int StallDeadlineCommand(const std::wstring& folder, const std::wstring& fuseRelease,
                         const std::wstring& control, int nRounds, DWORD dwWaitMs);
// ReportsRow.cpp: row 11 (and bench/run-reports)
int ReportsCommand(const std::wstring& folder, unsigned nReports, int nRounds);

// DeltaRow.cpp: rows 12 to 14 (make-delta, delta-run), and delta-bytes
constexpr size_t kDeltaDataSize = 64u << 20;
int MakeDeltaCommand(const std::wstring& folder, const std::wstring& backing,
                     const std::wstring& mount, const std::wstring& moduleOld,
                     const std::wstring& moduleNew);
int DeltaRunCommand(const std::wstring& folder, const std::wstring& backing, const std::wstring& mount,
                    const std::wstring& control, const std::wstring& name, int nRounds, unsigned nRate);
int DeltaBytesCommand(const std::wstring& installed, const std::wstring& release,
                      const std::vector<DWORD>& blockSizes);

// StallCopy.cpp (bench/run-stall-copy)
int StallCopyCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& fuseRelease,
                     const std::wstring& control, unsigned nAfter, DWORD dwStallMs,
                     unsigned nLatencyMs, const std::wstring& shots);
// VerifyCopy.cpp
int VerifyCopyCommand(const std::wstring& share, const std::wstring& shareUnc, int nRounds);
// EditBox.cpp
int EditCommand(unsigned nLines, unsigned nBatch, bool bPrepend, bool bNoRedraw);
} // namespace qvsbench
