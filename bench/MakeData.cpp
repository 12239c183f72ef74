// The benchmark's data: the trees, installations and releases that bench/run makes
// once (make-tree, make-start, make-run, make-release, make-verify).

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

namespace qvsbench
{
namespace
{
void MakeTree(const std::wstring& root, unsigned nFiles)
{
    const unsigned nFolders = (nFiles + kFilesPerFolder - 1) / kFilesPerFolder;
    for (unsigned k = 0; k < nFolders; ++k)
    {
        MakeDirs(root + L"\\" + TreeFolder(k));
    }
    for (unsigned i = 0; i < nFiles; ++i)
    {
        WriteFileAt(root + L"\\" + TreeFolder(i / kFilesPerFolder) + L"\\" + TreeFileName(i), i,
                    TreeFileSize(i), TreeFileTime(i));
    }
}

// The release of a run's installation of nFiles files: the same tree with the
// plan's files changed or added.
void WriteRelease(const std::wstring& release, unsigned nFiles)
{
    const std::vector<PlannedFile> plan = RunPlan(nFiles);
    Progress(L"release of " + std::to_wstring(nFiles + plan.size() - PlanSizeOf(nFiles).nChanged) +
             L" files");
    MakeTree(release, nFiles);
    for (const PlannedFile& file : plan)
    {
        const std::wstring folderPath = release + L"\\" + file.relativeFolder;
        MakeDirs(folderPath);
        const size_t nSize = file.bAdded ? 3000 : TreeFileSize(file.nIndex) + 100;
        WriteFileAt(folderPath + L"\\" + file.name, file.nIndex + 977, nSize, ReleaseTime());
    }
}
} // namespace

int MakeTreeCommand(const std::wstring& root, unsigned nFiles)
{
    RemoveTree(root);
    MakeTree(root, nFiles);
    return 0;
}

int MakeStartCommand(const std::wstring& folder)
{
    RemoveTree(folder);
    const std::wstring bin = folder + L"\\inst\\bin";
    MakeSmallInstallation(bin, folder + L"\\release");
    CopyProgram(L"BareLauncher.exe", bin + L"\\BareLauncher.exe");
    CopyProgram(L"DialogLauncher.exe", bin + L"\\DialogLauncher.exe");
    return 0;
}

int MakeRunCommand(const std::wstring& folder, unsigned nFiles)
{
    RemoveTree(folder);
    const std::wstring inst = folder + L"\\inst";
    const std::wstring release = folder + L"\\release";
    Progress(L"installation of " + std::to_wstring(nFiles) + L" files");
    MakeTree(inst, nFiles);
    InstallPrograms(inst + L"\\bin", release);
    WriteRelease(release, nFiles);
    Publish(release);
    return 0;
}

// A second copy of a run's release, written at folder and published as seen at
// publishedAs (the same folder through the stalling share's mount, so that the
// list names the folders a client reaches through it).
int MakeReleaseCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& publishedAs)
{
    RemoveTree(folder);
    WriteRelease(folder, nFiles);
    Publish(publishedAs);
    return 0;
}

// <folder>\inst: the programs and 200 small old files in data\ (written by
// verify-run before each run); <folder>\release: the same 200 files of 1 MB each,
// newer, published (list and record).
int MakeVerifyCommand(const std::wstring& folder)
{
    RemoveTree(folder);
    const std::wstring release = folder + L"\\release";
    InstallPrograms(folder + L"\\inst\\bin", release);
    MakeDirs(folder + L"\\inst\\data");
    MakeDirs(release + L"\\data");
    const FILETIME ftRelease = ReleaseTime();
    for (unsigned i = 0; i < kVerifyFiles; ++i)
    {
        const std::vector<char> bytes = NoiseBytes(kVerifySize, i);
        WriteBytes(release + L"\\data\\" + VerifyFileName(i), bytes.data(), bytes.size(),
                   &ftRelease);
    }
    Publish(release);
    return 0;
}
} // namespace qvsbench
