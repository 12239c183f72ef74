#include "tests/support/Installation.h"

#include <stdexcept>

namespace qvstest
{
Installation::Installation()
{
    MakeDirs(bin());
    const std::wstring from = ExeFolder();
    if (!CopyFileW((from + L"QVSCliUpdate.exe").c_str(), updater().c_str(), FALSE) ||
        !CopyFileW((from + L"StandInClient.exe").c_str(), (bin() + L"\\QVS.exe").c_str(), FALSE))
    {
        throw std::runtime_error("cannot lay out the installation");
    }
}

void Installation::WriteIni(const std::wstring& text) const
{
    WriteUtf16(ini(), L"\xFEFF" + text);
}

DWORD Installation::Run(const std::wstring& arguments, const std::wstring& currentDir,
                        DWORD timeoutMs) const
{
    std::wstring commandLine = L"\"" + updater() + L"\"";
    if (!arguments.empty())
    {
        commandLine += L" " + arguments;
    }
    return RunProcess(commandLine, currentDir, timeoutMs);
}

std::vector<std::wstring> Installation::ClientStarts(size_t minLines, DWORD timeoutMs) const
{
    const std::wstring path = bin() + L"\\QVS.started";
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::vector<std::wstring> lines;
    for (;;)
    {
        lines.clear();
        if (Exists(path))
        {
            const std::wstring text = FromUtf8(ReadBytes(path));
            size_t start = 0;
            for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos;
                 start = end + 2)
            {
                lines.push_back(text.substr(start, end - start));
            }
        }
        if (lines.size() >= minLines || GetTickCount64() >= deadline)
        {
            return lines;
        }
        Sleep(50);
    }
}
} // namespace qvstest
