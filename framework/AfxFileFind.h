#pragma once
// Directory search: the entries of one folder that match a name, one at a time,
// in the order in which the file system returns them. As with MFC, FindFile
// starts the search and each FindNextFile makes the next entry current; the
// search handle is released by Close or by the destructor.

#include "framework/AfxHandle.h"
#include "framework/AfxObject.h"

#include <string>

class CFileFind : public CObject
{
public:
    CFileFind() noexcept;
    ~CFileFind() override;
    CFileFind(const CFileFind&) = delete;
    CFileFind& operator=(const CFileFind&) = delete;

    // Starts a search for pstrName: a folder, a backslash and a name that may hold
    // wildcards ("*.*" when null). FALSE when nothing matches (GetLastError says
    // why); otherwise the first entry becomes current with the first FindNextFile.
    BOOL FindFile(LPCWSTR pstrName = nullptr, DWORD dwUnused = 0);
    // Makes the next entry current. FALSE when that entry is the last one: it is
    // still current and valid, but no further call will find more.
    BOOL FindNextFile();
    void Close() noexcept;

    // "." or "..".
    BOOL IsDots() const noexcept;
    BOOL IsDirectory() const noexcept;
    // Any of the attribute bits in dwMask is set (FILE_ATTRIBUTE_...).
    BOOL MatchesMask(DWORD dwMask) const noexcept;
    // The current entry's name and extension.
    std::wstring GetFileName() const;
    // The folder of the search, a backslash and the current entry's name.
    std::wstring GetFilePath() const;
    // The folder of the search as it was given, without a final backslash
    // (except for a drive's top folder given as "C:\").
    const std::wstring& GetRoot() const noexcept { return m_strRoot; }
    // Everything the file system told about the current entry, without copying it.
    const WIN32_FIND_DATAW& GetFindData() const noexcept { return m_data[m_nCurrent]; }

private:
    UniqueFind m_hFind;
    std::wstring m_strRoot;
    // The current entry and the one read ahead, so that FindNextFile can tell
    // whether the current one is the last.
    WIN32_FIND_DATAW m_data[2];
    unsigned m_nCurrent = 0;
    bool m_bHaveNext = false;
};

// The form of a path that the system accepts beyond MAX_PATH: "\\?\" before a
// full local path, "\\?\UNC\" before a network path. Paths short enough for
// every call, paths already in a device form and paths that cannot be made full
// come back unchanged. The prefix turns off the system's clean-up of the path,
// so the path is made full (".", ".." and "/" resolved) before it is added.
std::wstring AfxLongPathForm(const std::wstring& strPath);

// Paths at least this long get the long form: CreateDirectoryW's own limit,
// below MAX_PATH, is the lowest of the calls made on folders and files.
inline constexpr size_t kAfxLongPathThreshold = MAX_PATH - 12;

// What tells one file or folder from every other on the machine, whatever path
// reaches it: its volume's serial number and its index on that volume.
struct AfxFileIdentity
{
    DWORD dwVolumeSerial = 0;
    DWORD dwIndexHigh = 0;
    DWORD dwIndexLow = 0;
    bool operator==(const AfxFileIdentity&) const = default;
};

// The identity of the file or folder at the path, links followed; false when it
// cannot be opened.
bool AfxGetFileIdentity(const std::wstring& strPath, AfxFileIdentity& identity) noexcept;
