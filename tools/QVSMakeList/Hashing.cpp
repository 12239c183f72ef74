// The release record of the listed files, read on a few threads.
#include "tools/QVSMakeList/Hashing.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "lib/BlockIndex.h"
#include "tools/QVSMakeList/BlockIndexPublish.h"
#include "tools/QVSMakeList/FromBuild.h"

#include <algorithm>
#include <atomic>
#include <thread>

UniqueFile OpenUnwritten(const std::wstring& strPath, FILETIME& ftWrite, std::wstring& stamp,
                         std::wstring& strProblem)
{
    UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file || !GetFileTime(file.get(), nullptr, nullptr, &ftWrite) ||
        !ListStampOfFileTime(ftWrite, stamp))
    {
        strProblem = AfxSystemErrorLine(GetLastError());
        return UniqueFile();
    }
    return file;
}

namespace
{
void HashListedFile(HashJob& job) noexcept
{
    try
    {
        FILETIME ftWrite{};
        std::wstring stamp;
        const UniqueFile file = OpenUnwritten(job.strPath, ftWrite, stamp, job.strProblem);
        if (!file)
        {
            return;
        }
        // Nobody may write it from now on: the stamp tells whether it changed since the walk.
        if (stamp != job.pEntry->modified)
        {
            job.strProblem = L"it changed while the tool ran";
            return;
        }
        const DWORD dwError =
            job.strCopyFolder.empty()
                ? SCSha256::HashOpenFile(file.get(), job.item.digest, &job.item.nSize)
                : CopyBuildFile(file.get(), ftWrite, job);
        if (dwError != ERROR_SUCCESS)
        {
            job.strProblem = job.strProblem.empty() ? AfxSystemErrorLine(dwError) : job.strProblem;
        }
    }
    catch (...)
    {
        job.strProblem = L"out of memory";
    }
}

// Every job on a few threads: a release may hold many large files.
void HashListedFiles(std::vector<HashJob>& jobs, HashCounter counter)
{
    std::atomic<size_t> next{0};
    const auto work = [&jobs, &next, counter](bool bShow) noexcept
    {
        for (size_t i = next++; i < jobs.size(); i = next++)
        {
            HashListedFile(jobs[i]);
            if (bShow)
            {
                counter(std::min(i + 1, jobs.size()), jobs.size());
            }
        }
    };
    const unsigned nThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    std::vector<std::thread> helpers;
    try
    {
        helpers.reserve(nThreads);
        for (unsigned n = 1; n < nThreads; ++n)
        {
            helpers.emplace_back(work, false);
        }
    }
    catch (...)
    {
        // Fewer helpers, or none: this thread reads what is left.
    }
    work(true);
    for (std::thread& helper : helpers)
    {
        helper.join();
    }
}
} // namespace

std::wstring MakeRecord(const std::wstring& strFilesFolder, const std::wstring& strCopyTo,
                        const std::wstring& strServerFolder, const FileList& list,
                        const std::wstring& strListText, std::vector<HashJob>& jobs,
                        HashCounter counter, ProblemWriter problem)
{
    jobs.assign(list.size(), HashJob());
    for (size_t i = 0; i < list.size(); ++i)
    {
        HashJob& job = jobs[i];
        const FileListEntry& entry = *list[i];
        job.pEntry = &entry;
        // The entry's folder is the server form of a folder below strFilesFolder.
        if (!SCReleaseRecord::CanRecord(entry.folder, entry.name) ||
            !entry.folder.starts_with(strServerFolder))
        {
            job.strPath = entry.folder + entry.name;
            job.strProblem = L"its folder or name cannot be recorded";
            continue;
        }
        const std::wstring strBelow = entry.folder.substr(strServerFolder.size());
        job.strPath = strFilesFolder + strBelow + entry.name;
        if (!strCopyTo.empty())
        {
            job.strCopyFolder = strCopyTo + strBelow;
            job.strCopyFolder.pop_back();
            job.nCopyRoot = strCopyTo.size();
        }
    }
    HashListedFiles(jobs, counter);

    size_t nProblems = 0;
    for (const HashJob& job : jobs)
    {
        if (!job.strProblem.empty())
        {
            ++nProblems;
            problem(L"cannot " + std::wstring(strCopyTo.empty() ? L"hash" : L"copy") + L": " +
                    job.strPath + L" (" + job.strProblem + L")\r\n");
        }
    }
    SCSha256::Digest listDigest{};
    if (nProblems > 0 ||
        !SCSha256::HashBytes(strListText.data(), strListText.size() * sizeof(wchar_t), listDigest))
    {
        return std::wstring();
    }
    std::wstring text = SCReleaseRecord::FormatFirstLine(listDigest);
    for (const HashJob& job : jobs)
    {
        text += SCReleaseRecord::FormatLine(job.pEntry->folder, job.pEntry->name, job.item);
    }

    // The block indexes of the large files, written into the release folder: their
    // lines follow the files' and come before a signed block, which so covers them.
    // A file is indexed where it was read (with --from, the build folder's file,
    // whose bytes its copy holds).
    std::vector<SCIndexedFile> indexed;
    for (const HashJob& job : jobs)
    {
        indexed.push_back({job.strPath, job.pEntry->modified, job.item});
    }
    const std::wstring strRelease = strCopyTo.empty() ? strFilesFolder : strCopyTo;
    const SCBlockIndexes indexes = SCPublishBlockIndexes(strRelease, indexed);
    for (const std::wstring& strProblem : indexes.problems)
    {
        problem(L"cannot index: " + strProblem + L"\r\n");
    }
    if (indexes.dwWriteError != ERROR_SUCCESS)
    {
        problem(L"cannot write the block indexes into " + strRelease + L"\\" + kBlockIndexFolder +
                L" (" + AfxSystemErrorLine(indexes.dwWriteError) + L")\r\n");
    }
    if (!indexes.problems.empty() || indexes.dwWriteError != ERROR_SUCCESS)
    {
        return std::wstring();
    }
    return text + indexes.strRecordLines;
}
