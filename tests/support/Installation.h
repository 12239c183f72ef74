#pragma once
// A throw-away installation for end-to-end tests: <root>\bin\QVSCliUpdate.exe (the
// real program) beside the stand-in client as QVS.exe, and optionally QVS.ini.

#include "tests/support/TestSupport.h"

#include <string>
#include <vector>

namespace qvstest
{
class Installation
{
public:
    Installation();

    const std::wstring& root() const { return m_dir.path(); }
    std::wstring bin() const { return m_dir.path() + L"\\bin"; }
    std::wstring ini() const { return bin() + L"\\QVS.ini"; }
    std::wstring updater() const { return bin() + L"\\QVSCliUpdate.exe"; }
    std::wstring log() const { return bin() + L"\\QVSCliUpdate.log"; }

    // Writes QVS.ini with the given text (UTF-16 with BOM, as the profile API expects).
    void WriteIni(const std::wstring& text) const;

    // Runs the updater with the given argument text and waits for it to end.
    DWORD Run(const std::wstring& arguments = {}, const std::wstring& currentDir = {},
              DWORD timeoutMs = 60000) const;

    // The lines the stand-in client wrote, each
    // "started\t<command line>\t<current folder>\t<performance counter at its start>";
    // waits up to timeoutMs for at least minLines of them.
    std::vector<std::wstring> ClientStarts(size_t minLines = 1, DWORD timeoutMs = 10000) const;

private:
    TempDir m_dir;
};
} // namespace qvstest
