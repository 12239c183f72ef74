#pragma once
// The baseline of the walk benchmarks: the least a walk that lists files must do.

#include "framework/AfxHandle.h"

#include <windows.h>

#include <string>
#include <vector>

// The least a walk that lists files must do: search every folder, open each file,
// ask for its last-write time, close it. Without bOpen, the search alone: the
// search results carry each file's last-write time too.
inline size_t BareWalk(const std::wstring& root, bool bOpen)
{
    size_t nFiles = 0;
    std::vector<std::wstring> folders{root};
    while (!folders.empty())
    {
        const std::wstring folder = std::move(folders.back());
        folders.pop_back();
        WIN32_FIND_DATAW fd;
        const UniqueFind find(FindFirstFileExW((folder + L"\\*.*").c_str(), FindExInfoBasic, &fd,
                                               FindExSearchNameMatch, nullptr,
                                               FIND_FIRST_EX_LARGE_FETCH));
        if (!find)
        {
            continue;
        }
        do
        {
            if (fd.cFileName[0] == L'.' &&
                (fd.cFileName[1] == 0 || (fd.cFileName[1] == L'.' && fd.cFileName[2] == 0)))
            {
                continue;
            }
            const std::wstring path = folder + L"\\" + fd.cFileName;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            {
                if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                {
                    folders.push_back(path);
                }
                continue;
            }
            if (!bOpen)
            {
                ++nFiles;
                continue;
            }
            const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            FILETIME ftWrite;
            if (file && GetFileTime(file.get(), nullptr, nullptr, &ftWrite))
            {
                ++nFiles;
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    return nFiles;
}
