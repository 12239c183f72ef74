#pragma once
// A release folder for end-to-end tests, reached through a real UNC path: files
// are written through the local side of the share, the server list is made by
// the real release-list maker, and QVS.ini names the folder as the list does.

#include "tests/support/TestSupport.h"

#include <string>

namespace qvstest
{
class Release
{
public:
    Release();
    ~Release();
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;

    // The folder as this machine writes it (Z:\...).
    const std::wstring& local() const { return m_local; }
    // The folder as clients reach it and as the server list names it: \\COMPUTER\...
    const std::wstring& unc() const { return m_unc; }

    // Writes a release file (relative path with backslashes) with a last-write time.
    void AddFile(const std::wstring& relative, const std::string& content,
                 const FILETIME& ftUtc) const;
    // Runs QVSMakeList.exe on the folder; its exit code.
    DWORD Publish() const;

private:
    std::wstring m_local;
    std::wstring m_unc;
};
} // namespace qvstest
