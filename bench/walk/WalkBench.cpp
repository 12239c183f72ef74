// Walk and copy benchmark: what the library adds over the bare system calls.
//
//   WalkBench walk <folder> [rounds]      SCFileIterator::Walk (client and server
//                                         form, no callback) against a bare walk
//                                         that only opens and queries each file
//   WalkBench copy <source folder> <installation root> [rounds]
//                                         CopyFiles of every file of the source
//                                         folder against CopyFileW alone
//
// Rounds alternate between the two sides after one warm-up round each; the
// medians are reported with their ratio.

#include "bench/BareWalk.h"
#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/File.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace
{
double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

double Time(const std::function<void()>& work)
{
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    return Seconds(start, end);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs both sides once to warm the caches, then alternately; medians.
void Compare(const wchar_t* title, const wchar_t* baseName, const std::function<void()>& base,
             const wchar_t* ourName, const std::function<void()>& ours, int rounds,
             const std::function<void()>& between = {})
{
    base();
    if (between)
    {
        between();
    }
    ours();
    if (between)
    {
        between();
    }
    std::vector<double> baseTimes;
    std::vector<double> ourTimes;
    for (int i = 0; i < rounds; ++i)
    {
        baseTimes.push_back(Time(base));
        if (between)
        {
            between();
        }
        ourTimes.push_back(Time(ours));
        if (between)
        {
            between();
        }
    }
    const double b = Median(baseTimes);
    const double o = Median(ourTimes);
    wprintf(L"%-26ls %-24ls %7.3f s   %-26ls %7.3f s   ratio %.2f\n", title, baseName, b, ourName,
            o, o / b);
}

int BenchWalk(const std::wstring& root, int rounds)
{
    const size_t bareFiles = BareWalk(root, true);
    SCFileIterator iterator;
    iterator.SetRootFolder(root);
    iterator.Walk(FileListKind::Client, nullptr, nullptr);
    const size_t listed = GetList(FileListKind::Client).size();
    ClearList(FileListKind::Client);
    wprintf(L"%ls: %zu files (bare walk), %zu listed\n", root.c_str(), bareFiles, listed);

    const auto walk = [&iterator](FileListKind kind)
    { return [&iterator, kind] { iterator.Walk(kind, nullptr, nullptr); }; };
    const auto clear = []
    {
        ClearList(FileListKind::Client);
        ClearList(FileListKind::Server);
    };
    Compare(
        L"walk, client form", L"bare open+query", [&root] { BareWalk(root, true); },
        L"SCFileIterator::Walk", walk(FileListKind::Client), rounds, clear);
    Compare(
        L"walk, server form", L"bare open+query", [&root] { BareWalk(root, true); },
        L"SCFileIterator::Walk", walk(FileListKind::Server), rounds, clear);
    return listed == bareFiles ? 0 : 3;
}

int BenchCopy(const std::wstring& source, const std::wstring& root, int rounds)
{
    // The installation: root\bin\ is the program's folder; copies go to root\copies\,
    // the plain ones to root\plain\.
    const std::wstring copies = root + L"\\copies\\";
    const std::wstring plain = root + L"\\plain\\";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\bin").c_str(), nullptr);
    CreateDirectoryW(copies.c_str(), nullptr);
    CreateDirectoryW(plain.c_str(), nullptr);
    SetAppFolderForTesting(root + L"\\bin\\");

    FileList plan;
    std::vector<std::wstring> names;
    CFileFind finder;
    BOOL more = finder.FindFile((source + L"\\*.*").c_str());
    while (more)
    {
        more = finder.FindNextFile();
        if (finder.IsDirectory())
        {
            continue;
        }
        auto entry = std::make_unique<FileListEntry>();
        entry->folder = source + L"\\";
        entry->name = finder.GetFileName();
        entry->target = copies;
        names.push_back(entry->name);
        plan.push_back(std::move(entry));
    }
    wprintf(L"%ls: %zu files\n", source.c_str(), names.size());

    // What any copy that replaces in one step must do at least: a new file, then a rename.
    const auto copyThenRename = [&]
    {
        for (const std::wstring& name : names)
        {
            const std::wstring temp = plain + L"~copy.tmp";
            CopyFileW((source + L"\\" + name).c_str(), temp.c_str(), FALSE);
            MoveFileExW(temp.c_str(), (plain + name).c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        }
    };
    BOOL copied = TRUE;
    Compare(
        L"copy over installed files", L"CopyFileW + MoveFileExW", copyThenRename,
        L"SCFileIterator::CopyFiles",
        [&] { copied = SCFileIterator::CopyFiles(&plan, nullptr, nullptr) && copied; }, rounds);
    Compare(
        L"copy over installed files", L"CopyFileW",
        [&]
        {
            for (const std::wstring& name : names)
            {
                CopyFileW((source + L"\\" + name).c_str(), (plain + name).c_str(), FALSE);
            }
        },
        L"SCFileIterator::CopyFiles",
        [&] { copied = SCFileIterator::CopyFiles(&plan, nullptr, nullptr) && copied; }, rounds);
    SetAppFolderForTesting(L"");
    return copied ? 0 : 3;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"walk" && argc >= 3)
    {
        return BenchWalk(argv[2], argc > 3 ? _wtoi(argv[3]) : 5);
    }
    if (mode == L"copy" && argc >= 4)
    {
        return BenchCopy(argv[2], argv[3], argc > 4 ? _wtoi(argv[4]) : 5);
    }
    fwprintf(stderr, L"usage: WalkBench walk <folder> [rounds]\n"
                     L"       WalkBench copy <source folder> <installation root> [rounds]\n");
    return 1;
}
