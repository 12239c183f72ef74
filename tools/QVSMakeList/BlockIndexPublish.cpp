#include "tools/QVSMakeList/BlockIndexPublish.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/BlockIndex.h"
#include "lib/File.h"
#include "lib/NameFold.h"
#include "tools/QVSMakeList/Hashing.h"
#include "tools/QVSMakeList/ReleaseWrite.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace
{
// One index to write: the first listed file of its content.
struct IndexJob
{
    const SCIndexedFile* pFile = nullptr;
    std::wstring strName;
    std::string bytes;
    std::wstring strProblem;
    DWORD dwWriteError = ERROR_SUCCESS;
};

bool SameBytes(const std::wstring& strPath, const std::string& bytes)
{
    const UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) ||
        static_cast<ULONGLONG>(size.QuadPart) != bytes.size())
    {
        return false;
    }
    std::string existing(bytes.size(), '\0');
    DWORD nRead = 0;
    for (size_t nDone = 0; nDone < existing.size(); nDone += nRead)
    {
        const DWORD nWant = static_cast<DWORD>(std::min<size_t>(existing.size() - nDone, 1u << 20));
        if (!ReadFile(file.get(), existing.data() + nDone, nWant, &nRead, nullptr) || nRead == 0)
        {
            return false;
        }
    }
    return existing == bytes;
}

// Writes the bytes through one of the tool's temporary files beside the index and
// one replace: a client never reads half an index. ERROR_SUCCESS or why not.
DWORD WriteIndex(const std::wstring& strFolder, const std::wstring& strName,
                 const std::string& bytes)
{
    const std::wstring strPath = strFolder + L"\\" + strName;
    if (SameBytes(strPath, bytes))
    {
        return ERROR_SUCCESS;
    }
    return WriteBytesReplacing(strFolder, strPath, bytes.data(), bytes.size());
}

// Makes the index of one file, which must still be the file the record describes:
// opened without sharing write access, with the list's stamp and the record's size.
void MakeIndex(IndexJob& job) noexcept
{
    try
    {
        const SCIndexedFile& file = *job.pFile;
        FILETIME ftWrite{};
        std::wstring stamp;
        const UniqueFile handle = OpenUnwritten(file.strPath, ftWrite, stamp, job.strProblem);
        if (!handle)
        {
            return;
        }
        SCBlockIndex index;
        const DWORD dwError = index.BuildFromFile(handle.get(), file.item.nSize, file.item.digest,
                                                  SCBlockIndex::BlockSizeFor(file.item.nSize));
        if (stamp != file.strStamp || dwError == ERROR_FILE_INVALID)
        {
            job.strProblem = L"it changed while the tool ran";
            return;
        }
        if (dwError != ERROR_SUCCESS)
        {
            job.strProblem = AfxSystemErrorLine(dwError);
            return;
        }
        job.bytes = index.Format();
    }
    catch (...)
    {
        job.strProblem = L"out of memory";
    }
}

// The index folder, a folder of the release's own, opened so that it cannot be
// renamed, removed or replaced while the handle lives. Anyone who can write the
// release folder could have made it a link to a folder elsewhere (a build folder,
// the system's), whose files the clearing of old indexes would then remove: such a
// folder is refused (bLink), and the administrator decides what it was. Made when
// bMake; without it an existing folder is held to be cleared and removed. An
// invalid handle and ERROR_SUCCESS when there is none and none is needed.
UniqueFile HoldIndexFolder(const std::wstring& strFolder, bool bMake, DWORD& dwError, bool& bLink)
{
    const std::wstring strPath = AfxLongPathForm(strFolder);
    const auto isLink = [](DWORD dwAttributes)
    { return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT); };
    bLink = isLink(GetFileAttributesW(strPath.c_str()));
    if (bLink)
    {
        return UniqueFile();
    }
    if (bMake && !CreateDirectoryW(strPath.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
    {
        dwError = GetLastError();
        return UniqueFile();
    }
    UniqueFile folder(CreateFileW(strPath.c_str(), FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    if (!folder)
    {
        const DWORD dwOpen = GetLastError();
        if (bMake || (dwOpen != ERROR_FILE_NOT_FOUND && dwOpen != ERROR_PATH_NOT_FOUND))
        {
            dwError = dwOpen;
        }
        return UniqueFile();
    }
    // Made a link between the look and the open, or a file of that name.
    BY_HANDLE_FILE_INFORMATION info{};
    bLink = GetFileInformationByHandle(folder.get(), &info) && isLink(info.dwFileAttributes);
    if (bLink || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    {
        dwError = bLink ? ERROR_SUCCESS : ERROR_DIRECTORY;
        return UniqueFile();
    }
    return folder;
}

// Every file of the folder that is not one of the names.
void RemoveOthers(const std::wstring& strFolder, const std::set<std::wstring>& names)
{
    CFileFind finder;
    BOOL bMore = finder.FindFile((strFolder + L"\\*").c_str());
    while (bMore)
    {
        bMore = finder.FindNextFile();
        const std::wstring strName = finder.GetFindData().cFileName;
        if (!finder.IsDirectory() && names.count(UpperCase(strName)) == 0)
        {
            const std::wstring strPath = AfxLongPathForm(finder.GetFilePath());
            SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(strPath.c_str());
        }
    }
}
} // namespace

SCBlockIndexes SCPublishBlockIndexes(const std::wstring& strReleaseFolder,
                                     const std::vector<SCIndexedFile>& files)
{
    SCBlockIndexes result;
    const std::wstring strFolder = strReleaseFolder + L"\\" + kBlockIndexFolder;
    // One index for each content, in the order of the files (the record's order).
    std::vector<IndexJob> jobs;
    std::set<std::wstring> names;
    for (const SCIndexedFile& file : files)
    {
        if (file.item.nSize < kBlockIndexThreshold)
        {
            continue;
        }
        const std::wstring strName = SCBlockIndex::FileName(file.item.digest);
        if (names.insert(UpperCase(strName)).second)
        {
            IndexJob& job = jobs.emplace_back();
            job.pFile = &file;
            job.strName = strName;
        }
    }
    // Held from here on: nobody can swap it for a link while the tool writes into it
    // and removes what is not an index.
    bool bLink = false;
    UniqueFile folder = HoldIndexFolder(strFolder, !jobs.empty(), result.dwWriteError, bLink);
    if (bLink)
    {
        result.problems.push_back(strFolder + L" (a link to another folder, whose files "
                                              L"publishing would replace and remove: "
                                              L"remove the link)");
        return result;
    }
    if (result.dwWriteError != ERROR_SUCCESS)
    {
        return result;
    }
    // On a few threads: the index of a large file costs a read and a SHA-256 of
    // every block.
    std::atomic<size_t> next{0};
    const auto work = [&jobs, &next, &strFolder]() noexcept
    {
        for (size_t i = next++; i < jobs.size(); i = next++)
        {
            MakeIndex(jobs[i]);
            if (jobs[i].strProblem.empty())
            {
                jobs[i].dwWriteError = WriteIndex(strFolder, jobs[i].strName, jobs[i].bytes);
            }
        }
    };
    std::vector<std::thread> helpers;
    try
    {
        const unsigned nThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
        for (unsigned n = 1; n < nThreads && n < jobs.size(); ++n)
        {
            helpers.emplace_back(work);
        }
    }
    catch (...)
    {
        // Fewer helpers, or none: this thread makes what is left.
    }
    work();
    for (std::thread& helper : helpers)
    {
        helper.join();
    }
    for (const IndexJob& job : jobs)
    {
        if (!job.strProblem.empty())
        {
            result.problems.push_back(job.pFile->strPath + L" (" + job.strProblem + L")");
        }
        else if (job.dwWriteError != ERROR_SUCCESS && result.dwWriteError == ERROR_SUCCESS)
        {
            result.dwWriteError = job.dwWriteError;
        }
        else
        {
            SCReleaseRecord::Item line;
            line.nSize = job.bytes.size();
            if (!SCSha256::HashBytes(job.bytes.data(), job.bytes.size(), line.digest))
            {
                result.dwWriteError = ERROR_GEN_FAILURE;
            }
            result.strRecordLines +=
                SCReleaseRecord::FormatLine(std::wstring(kBlockIndexRecordFolder),
                                            SCSha256::ToHex(job.pFile->item.digest), line);
            ++result.nIndexes;
            result.nIndexBytes += line.nSize;
        }
    }
    if (result.problems.empty() && result.dwWriteError == ERROR_SUCCESS && folder)
    {
        RemoveOthers(strFolder, names);
        if (names.empty())
        {
            folder.reset();
            RemoveDirectoryW(AfxLongPathForm(strFolder).c_str());
        }
    }
    return result;
}
