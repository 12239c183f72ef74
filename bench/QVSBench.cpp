// The timing driver of bench/run: a Windows console program, run under Wine, that
// makes the benchmark's installations and releases, starts the programs it times
// itself (so that every candidate pays the same process start), and prints one
// machine-readable "RESULT" line per measurement on standard output. Progress
// goes to standard error.
//
//   QVSBench make-tree <folder> <files>
//       a tree of <files> files, 20 to a folder, three folder levels deep
//   QVSBench make-start <folder>
//       <folder>\inst (QVSCliUpdate.exe, the stand-in client as QVS.exe,
//       BareLauncher.exe, DialogLauncher.exe, QVS.ini) and <folder>\release, a
//       small published release
//   QVSBench make-run <folder> <files>
//       <folder>\inst: the tree of <files> files and bin\ with the programs;
//       <folder>\release: the same tree with 1 % of the files changed and 0.25 %
//       added, a fifth of those in new folders of 2 (from 20,000 files on, those of
//       20,000: 200 changed, 50 added, 10 of them in 5 new folders), published with
//       QVSMakeList.exe
//   QVSBench make-release <folder> <files> <published as>
//       the release of make-run at <folder>, published as <published as> (the same
//       folder through the stalling share's mount)
//   QVSBench make-verify <folder>
//       <folder>\inst with 200 small old files in data\, <folder>\release with the
//       same 200 files of 1 MB, newer, published (list and release record)
//   QVSBench reset-run <folder> <files>
//       puts a run's installation back as make-run left it
//   QVSBench edit <lines> <batch> [prepend]
//       the program's dialog fed with entry lines in batches, as the walk feeds it
//   QVSBench start <folder> <rounds>
//       from CreateProcess to the stand-in client's first instruction: the client
//       directly, BareLauncher.exe, DialogLauncher.exe, QVSCliUpdate.exe with
//       nothing to update
//   QVSBench walk <rounds> <folder>...
//       SCFileIterator::Walk against a bare walk that only opens and queries
//       each file (neither has a callback or a status popup), and a walk that only
//       searches the folders; one RESULT line per folder
//   QVSBench full-run <folder> <files> <rounds>
//       QVSCliUpdate.exe /force (start to the client's start) against this
//       program's walk-copy and against xcopy /E /D /Y /I, each from the same state
//   QVSBench walk-copy <folder> <files>
//       (the baseline child) SCFileIterator::Walk of the installation and
//       CopyFiles of the run's plan, nothing else
//   QVSBench verify-copy <share folder> <share UNC> <rounds>
//       CopyFiles of 200 files of 1 MB from <share UNC>\verify-release\bin (written
//       through <share folder>, its local side) over an installation in the
//       temporary folder, without and with the release record's check
//   QVSBench verify-run <folder> <rounds> [variant programs in the installation's bin...]
//       QVSCliUpdate.exe /force over make-verify's installation with the release
//       record and without it (moved aside), and xcopy /E /D /Y /I of the release
//   QVSBench signed-run <folder> <rounds>
//       QVSCliUpdate.exe /force over make-verify's installation, the release
//       published with --sign and the installation trusting its key, against the
//       same run with no record and with the unsigned record
//   QVSBench make-stall-deadline <folder> <release> <published as>
//       <folder>\inst with a large file and small ones, small and old; <release>
//       (the stalling share's backing folder) the same files newer and whole,
//       published as <published as> (the same folder through the share's mount)
//   QVSBench stall-deadline <folder> <fuse release> <control> <rounds> [wait ms]
//       the forced run whose share stops during the large file's copy, with
//       ReleaseFolderStallSeconds missing (20) and 5: from the stall to the
//       client's start, and the program's end, watched for [wait ms] (3,000)
//       after it; against the same run answering, from the same moment
//   QVSBench reports <folder> <reports> <rounds>
//       QVSMakeList.exe --report over the folder's reports, reached as
//       \\COMPUTER\..., against QVSMakeList.exe --help
//   QVSBench share-start <folder> <fuse release> <fuse unc> <control> <rounds>
//       the start with nothing to update from a release on the plain share and
//       from one on the stalling share (written at <fuse release> through its
//       mount, named <fuse unc>) at 0, 1 and 30 ms a share operation
//   QVSBench share-run <folder> <files> <rounds> <fuse release> <control>
//       the forced run over make-run's installation from its plain release and
//       from make-release's copy on the stalling share at 0, 1 and 30 ms
//   QVSBench share-stall <folder> <mount folder> <unc> <control> <rounds> [wait ms]
//       the everyday start with the release folder answering and stalled: the
//       client's start, the program's end as Windows sees it and as Wine's Unix
//       process (Z:\proc) shows it, and the end after the stall is lifted
//   QVSBench stall-copy <folder> <files> <fuse release> <control> <after> <stall ms>
//                       [latency ms] [screenshot folder]
//       a forced run whose share stops answering after <after> copies for
//       <stall ms>: whether the dialog and the status popup take messages and
//       paint, when the run goes on, and what it left
//   QVSBench make-delta <folder> <backing> <mount> <old module> <new module>
//       the cases of rows 12 to 14 (bench/DeltaRow.cpp): installations below
//       <folder>, releases in the stalling share's backing folder, published as
//       seen through its mount
//   QVSBench delta-run <folder> <backing> <mount> <control> <case> <rounds> <bytes/s>
//       QVSCliUpdate.exe /force of the case, its large files built from their
//       installed versions' blocks, against the same run with the block indexes
//       moved aside (every file copied whole), the share's line at <bytes/s>; the
//       bytes the share served for each
//   QVSBench delta-bytes <installed file> <release file> <block size>...
//       the index of the release file at each block size, and what a scan of the
//       installed file leaves to read from the share
//   (<control> is the stalling share's control folder, tests/support/stallfs.py)
//   QVSBench memory <folder> <files> <start folder>
//       the peak memory of QVSCliUpdate.exe /force on the run's installation,
//       polled from outside, with the same program's start with nothing to update
//
// Every round starts each candidate in turn, in an order that rotates from
// round to round; one untimed round comes first.
//
// Each command's code is in the file that BenchCommands.h names beside it; what they
// share (time, files, trees, processes, rounds, the stalling share, the Unix side of
// a process under Wine) is in BenchSupport.cpp. This file only reads the command
// line.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace
{
unsigned Count(const wchar_t* text)
{
    return static_cast<unsigned>(std::wcstoul(text, nullptr, 10));
}

int Usage()
{
    std::fwprintf(stderr, L"usage: QVSBench make-tree|make-start|make-run|start|walk|full-run|"
                          L"walk-copy|memory ... (see the head of bench/QVSBench.cpp)\n");
    return 2;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    using namespace qvsbench;
    if (argc < 3)
    {
        return Usage();
    }
    const std::wstring command = argv[1];
    const std::wstring folder = argv[2];
    const auto number = [argc, argv](int i, unsigned nDefault)
    { return argc > i ? Count(argv[i]) : nDefault; };
    if (command == L"make-tree" && argc > 3)
    {
        return MakeTreeCommand(folder, Count(argv[3]));
    }
    if (command == L"make-start")
    {
        return MakeStartCommand(folder);
    }
    if (command == L"make-run" && argc > 3)
    {
        return MakeRunCommand(folder, Count(argv[3]));
    }
    if (command == L"reset-run" && argc > 3)
    {
        ResetRun(folder, Count(argv[3]));
        return 0;
    }
    if (command == L"edit")
    {
        const std::wstring mode = argc > 4 ? argv[4] : L"";
        return EditCommand(number(2, 20000), number(3, 500), mode.find(L"prepend") == 0,
                           mode.find(L"noredraw") != std::wstring::npos);
    }
    if (command == L"start")
    {
        return StartCommand(folder, static_cast<int>(number(3, 15)),
                            std::vector<std::wstring>(argv + std::min(argc, 4), argv + argc));
    }
    if (command == L"walk" && argc > 3)
    {
        return WalkCommand(std::vector<std::wstring>(argv + 3, argv + argc),
                           static_cast<int>(number(2, 5)));
    }
    if (command == L"verify-copy" && argc > 3)
    {
        return VerifyCopyCommand(folder, argv[3], static_cast<int>(number(4, 7)));
    }
    if (command == L"walk-copy" && argc > 3)
    {
        return WalkCopyCommand(folder, Count(argv[3]));
    }
    if (command == L"full-run" && argc > 3)
    {
        return FullRunCommand(folder, Count(argv[3]), static_cast<int>(number(4, 5)),
                              std::vector<std::wstring>(argv + std::min(argc, 5), argv + argc));
    }
    if (command == L"make-release" && argc > 4)
    {
        return MakeReleaseCommand(folder, Count(argv[3]), argv[4]);
    }
    if (command == L"share-start" && argc > 6)
    {
        return ShareStartCommand(folder, argv[3], argv[4], argv[5],
                                 static_cast<int>(Count(argv[6])));
    }
    if (command == L"share-run" && argc > 6)
    {
        return ShareRunCommand(folder, Count(argv[3]), static_cast<int>(Count(argv[4])), argv[5],
                               argv[6]);
    }
    if (command == L"share-stall" && argc > 6)
    {
        return ShareStallCommand(folder, argv[3], argv[4], argv[5],
                                 static_cast<int>(Count(argv[6])), number(7, 5000));
    }
    if (command == L"make-verify")
    {
        return MakeVerifyCommand(folder);
    }
    if (command == L"verify-run")
    {
        return VerifyRunCommand(folder, static_cast<int>(number(3, 7)),
                                std::vector<std::wstring>(argv + std::min(argc, 4), argv + argc));
    }
    if (command == L"signed-run")
    {
        return SignedRunCommand(folder, static_cast<int>(number(3, 7)));
    }
    if (command == L"make-stall-deadline" && argc > 4)
    {
        return MakeStallDeadlineCommand(folder, argv[3], argv[4]);
    }
    if (command == L"stall-deadline" && argc > 5)
    {
        return StallDeadlineCommand(folder, argv[3], argv[4], static_cast<int>(Count(argv[5])),
                                    number(6, 3000));
    }
    if (command == L"reports" && argc > 3)
    {
        return ReportsCommand(folder, Count(argv[3]), static_cast<int>(number(4, 7)));
    }
    if (command == L"stall-copy" && argc > 7)
    {
        return StallCopyCommand(folder, Count(argv[3]), argv[4], argv[5], Count(argv[6]),
                                Count(argv[7]), number(8, 0), argc > 9 ? argv[9] : L"");
    }
    if (command == L"make-delta" && argc > 6)
    {
        return MakeDeltaCommand(folder, argv[3], argv[4], argv[5], argv[6]);
    }
    if (command == L"delta-run" && argc > 8)
    {
        return DeltaRunCommand(folder, argv[3], argv[4], argv[5], argv[6],
                               static_cast<int>(Count(argv[7])), Count(argv[8]));
    }
    if (command == L"delta-bytes" && argc > 4)
    {
        std::vector<DWORD> sizes;
        for (int i = 4; i < argc; ++i)
        {
            sizes.push_back(Count(argv[i]));
        }
        return DeltaBytesCommand(folder, argv[3], sizes);
    }
    if (command == L"memory" && argc > 4)
    {
        return MemoryCommand(folder, Count(argv[3]), argv[4]);
    }
    return Usage();
}
