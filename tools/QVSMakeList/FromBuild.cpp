// --from: the build folder's files copied into the release folder.
#include "tools/QVSMakeList/FromBuild.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "lib/BlockIndex.h"
#include "lib/FileIterator.h"
#include "lib/NameFold.h"
#include "tools/QVSMakeList/ReleaseWrite.h"

#include <algorithm>
#include <unordered_set>

namespace
{
// The folder as the system reaches it in the end, through links and substituted
// drives; the path itself when the system cannot tell.
std::wstring FinalPath(const std::wstring& strFolder)
{
    const UniqueFile dir(CreateFileW(AfxLongPathForm(strFolder).c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD n = 0;
    while (dir &&
           (n = GetFinalPathNameByHandleW(dir.get(), buffer.data(),
                                          static_cast<DWORD>(buffer.size()), 0)) >= buffer.size())
    {
        buffer.resize(n + 1);
    }
    std::wstring strPath = n != 0 ? std::wstring(buffer.data(), n) : strFolder;
    if (strPath.starts_with(L"\\\\?\\UNC\\"))
    {
        strPath = L"\\" + strPath.substr(7);
    }
    else if (strPath.starts_with(L"\\\\?\\"))
    {
        strPath = strPath.substr(4);
    }
    while (strPath.size() > 3 && strPath.back() == L'\\')
    {
        strPath.pop_back();
    }
    return strPath;
}

bool IsSameOrBelow(const std::wstring& strPath, const std::wstring& strFolder)
{
    return StartsWithNoCase(strPath + L"\\", strFolder + L"\\");
}

// A name as the system compares names, for a set of them.
std::wstring Folded(std::wstring text)
{
    for (wchar_t& c : text)
    {
        c = FoldListChar(c);
    }
    return text;
}

LRESULT Quiet(const std::wstring&, CWnd*)
{
    return 0;
}

// Makes the missing folders of strFolder below the release folder (its first
// nRoot characters). A folder link on the way would lead the copy out of the
// release folder, wherever a share writer pointed it: it stops the copy.
DWORD MakeReleaseFolder(const std::wstring& strFolder, size_t nRoot, std::wstring& strProblem)
{
    for (size_t nAt = nRoot; nAt < strFolder.size();)
    {
        const size_t nNext = std::min(strFolder.find(L'\\', nAt + 1), strFolder.size());
        const std::wstring strPart = AfxLongPathForm(strFolder.substr(0, nNext));
        nAt = nNext;
        DWORD dwAttributes = GetFileAttributesW(strPart.c_str());
        if (dwAttributes == INVALID_FILE_ATTRIBUTES && CreateDirectoryW(strPart.c_str(), nullptr))
        {
            continue;
        }
        // Another thread may have made it meanwhile.
        dwAttributes = GetFileAttributesW(strPart.c_str());
        if (dwAttributes == INVALID_FILE_ATTRIBUTES)
        {
            return GetLastError();
        }
        if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        {
            strProblem =
                strFolder.substr(0, nNext) + L" in the release folder is a file, not a folder";
            return ERROR_DIRECTORY;
        }
        if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        {
            strProblem = strFolder.substr(0, nNext) +
                         L" in the release folder is a folder link: nothing is copied through it";
            return ERROR_CANT_ACCESS_FILE;
        }
    }
    return ERROR_SUCCESS;
}
} // namespace

std::wstring CheckBuildFolder(const std::wstring& strBuild, const std::wstring& strRelease)
{
    for (const std::wstring& build : {strBuild, FinalPath(strBuild)})
    {
        for (const std::wstring& release : {strRelease, FinalPath(strRelease)})
        {
            if (IsSameOrBelow(build, release))
            {
                return L"the build folder \"" + strBuild +
                       L"\" is the release folder or lies in it: --from takes the files from a "
                       L"folder that share users cannot write, outside the release folder";
            }
            if (IsSameOrBelow(release, build))
            {
                return L"the release folder \"" + strRelease + L"\" lies in the build folder \"" +
                       strBuild + L"\": the build would take in what the share holds";
            }
        }
    }
    return std::wstring();
}

std::vector<std::wstring> FilesNotInBuild(const std::wstring& strRelease, const FileList& build,
                                          const std::wstring& strBuildServer)
{
    std::unordered_set<std::wstring> names;
    for (const std::unique_ptr<FileListEntry>& pEntry : build)
    {
        names.insert(Folded(pEntry->folder.substr(strBuildServer.size()) + pEntry->name));
    }
    ClearList(FileListKind::Client);
    SCFileIterator iterator;
    iterator.EnableStatusPopup(false);
    iterator.SetRootFolder(strRelease);
    iterator.Walk(FileListKind::Client, &Quiet, nullptr);
    // The block indexes lie there too, and are the tool's own.
    const std::wstring strIndexes = L"\\" + std::wstring(kBlockIndexFolder) + L"\\";
    std::vector<std::wstring> extra;
    for (const std::unique_ptr<FileListEntry>& pEntry : GetList(FileListKind::Client))
    {
        const std::wstring strPath = pEntry->folder + pEntry->name;
        DWORD dwProcessId = 0;
        if (IsStaleTempName(pEntry->name))
        {
            SetFileAttributesW(AfxLongPathForm(strPath).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(AfxLongPathForm(strPath).c_str());
        }
        else if (!IsTempName(pEntry->name, &dwProcessId) &&
                 !StartsWithNoCase(strPath.substr(strRelease.size()), strIndexes) &&
                 !names.contains(Folded(strPath.substr(strRelease.size()))))
        {
            extra.push_back(strPath);
        }
    }
    ClearList(FileListKind::Client);
    // Front to back is the walk's order backwards.
    return {extra.rbegin(), extra.rend()};
}

DWORD CopyBuildFile(HANDLE hSource, const FILETIME& ftWrite, HashJob& job)
{
    DWORD dwError = MakeReleaseFolder(job.strCopyFolder, job.nCopyRoot, job.strProblem);
    std::wstring strTemp;
    UniqueFile temp;
    if (dwError == ERROR_SUCCESS)
    {
        temp = CreateTempFile(job.strCopyFolder, strTemp, dwError);
    }
    if (!temp)
    {
        return dwError;
    }
    SCSha256 sha;
    std::vector<BYTE> buffer(1 << 20);
    ULONGLONG nBytes = 0;
    for (DWORD nRead = 1; dwError == ERROR_SUCCESS && nRead > 0;)
    {
        DWORD nWritten = 0;
        if (!ReadFile(hSource, buffer.data(), static_cast<DWORD>(buffer.size()), &nRead, nullptr) ||
            (nRead > 0 && (!WriteFile(temp.get(), buffer.data(), nRead, &nWritten, nullptr) ||
                           nWritten != nRead)))
        {
            dwError = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
        }
        else if (!sha.Update(buffer.data(), nRead))
        {
            dwError = sha.GetError();
        }
        nBytes += nRead;
    }
    // The copy keeps the build's stamp: the list names it, and desktops compare with it.
    if (dwError == ERROR_SUCCESS &&
        (!SetFileTime(temp.get(), nullptr, nullptr, &ftWrite) || !FlushFileBuffers(temp.get())))
    {
        dwError = GetLastError();
    }
    if (dwError == ERROR_SUCCESS && !sha.Finish(job.item.digest))
    {
        dwError = sha.GetError();
    }
    temp.reset();
    if (dwError != ERROR_SUCCESS)
    {
        DeleteFileW(AfxLongPathForm(strTemp).c_str());
        return dwError;
    }
    job.item.nSize = nBytes;
    job.strTemp = strTemp;
    return ERROR_SUCCESS;
}

std::wstring PlaceCopies(std::vector<HashJob>& jobs)
{
    std::wstring strFailed;
    for (HashJob& job : jobs)
    {
        if (job.strTemp.empty())
        {
            continue;
        }
        const std::wstring strPath = job.strCopyFolder + L"\\" + job.pEntry->name;
        const DWORD dwError =
            strFailed.empty() ? PutInPlace(job.strTemp, strPath) : ERROR_CANCELLED;
        if (dwError == ERROR_CANCELLED)
        {
            DeleteFileW(AfxLongPathForm(job.strTemp).c_str());
        }
        else if (dwError != ERROR_SUCCESS)
        {
            strFailed = strPath + L" (" + AfxSystemErrorLine(dwError) + L")";
        }
        job.strTemp.clear();
    }
    return strFailed;
}

void DropCopies(std::vector<HashJob>& jobs)
{
    for (HashJob& job : jobs)
    {
        if (!job.strTemp.empty())
        {
            DeleteFileW(AfxLongPathForm(job.strTemp).c_str());
            job.strTemp.clear();
        }
    }
}
