#include "lib/InstallJournal.h"

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/CopyLeftover.h"
#include "lib/FileCopy.h"

#include <string_view>

namespace
{
constexpr std::wstring_view kFirstLine = L"QVSCliUpdate install journal 1";
constexpr std::wstring_view kSwitch = L"switch";
constexpr std::wstring_view kPutBack = L"put back";
// A journal names the files of one release: far below this.
constexpr LONGLONG kMaxJournalBytes = 256LL * 1024 * 1024;

DWORD LastErrorOrFailure() noexcept
{
    const DWORD dwError = GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

// The lines of the text, without their line ends; false when a line does not end
// with CR LF.
bool SplitLines(std::wstring_view text, std::vector<std::wstring_view>& lines)
{
    while (!text.empty())
    {
        const size_t nEnd = text.find(L"\r\n");
        if (nEnd == std::wstring_view::npos)
        {
            return false;
        }
        lines.push_back(text.substr(0, nEnd));
        text.remove_prefix(nEnd + 2);
    }
    return true;
}

bool ParseEntry(std::wstring_view line, SCSwitchEntry& entry)
{
    const size_t nFirst = line.find(L'\t');
    const size_t nSecond =
        nFirst == std::wstring_view::npos ? nFirst : line.find(L'\t', nFirst + 1);
    if (nSecond == std::wstring_view::npos ||
        line.find(L'\t', nSecond + 1) != std::wstring_view::npos)
    {
        return false;
    }
    entry.strDestination = line.substr(0, nFirst);
    entry.strStaged = line.substr(nFirst + 1, nSecond - nFirst - 1);
    entry.strAside = line.substr(nSecond + 1);
    return !entry.strDestination.empty() && !entry.strStaged.empty();
}
} // namespace

SCInstallJournal::SCInstallJournal(const std::wstring& strRoot)
    : m_strPath(strRoot + L"\\" + kInstallJournalName)
{
}

DWORD SCInstallJournal::Write(State state, const std::vector<SCSwitchEntry>& entries) const
{
    std::wstring text(kFirstLine);
    text += L"\r\n";
    text += state == State::Switch ? kSwitch : kPutBack;
    text += L"\r\n";
    for (const SCSwitchEntry& entry : entries)
    {
        text += entry.strDestination + L'\t' + entry.strStaged + L'\t' + entry.strAside + L"\r\n";
    }
    const std::wstring strTemp = AfxLongPathForm(SCLeftoverPathBeside(m_strPath));
    {
        const UniqueFile file(CreateFileW(strTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
        {
            return LastErrorOrFailure();
        }
        const DWORD dwBytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        DWORD dwWritten = 0;
        // On the disk before it counts: a journal is what a start after a power cut reads.
        if (!WriteFile(file.get(), text.data(), dwBytes, &dwWritten, nullptr) ||
            dwWritten != dwBytes || !FlushFileBuffers(file.get()))
        {
            const DWORD dwError = LastErrorOrFailure();
            SCDiscardFile(strTemp);
            return dwError;
        }
    }
    if (!MoveFileExW(strTemp.c_str(), AfxLongPathForm(m_strPath).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        const DWORD dwError = LastErrorOrFailure();
        SCDiscardFile(strTemp);
        return dwError;
    }
    return ERROR_SUCCESS;
}

SCInstallJournal::ReadResult SCInstallJournal::Read(State& state,
                                                    std::vector<SCSwitchEntry>& entries) const
{
    entries.clear();
    const UniqueFile file(CreateFileW(AfxLongPathForm(m_strPath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        const DWORD dwError = GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND
                   ? ReadResult::None
                   : ReadResult::Unreadable;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxJournalBytes ||
        size.QuadPart % 2 != 0)
    {
        return ReadResult::Unreadable;
    }
    std::wstring text(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
    DWORD dwRead = 0;
    if (!text.empty() &&
        (!ReadFile(file.get(), text.data(), static_cast<DWORD>(size.QuadPart), &dwRead, nullptr) ||
         dwRead != static_cast<DWORD>(size.QuadPart)))
    {
        return ReadResult::Unreadable;
    }
    std::vector<std::wstring_view> lines;
    if (!SplitLines(text, lines) || lines.size() < 2 || lines[0] != kFirstLine ||
        (lines[1] != kSwitch && lines[1] != kPutBack))
    {
        return ReadResult::Unreadable;
    }
    state = lines[1] == kSwitch ? State::Switch : State::PutBack;
    for (size_t n = 2; n < lines.size(); ++n)
    {
        if (!ParseEntry(lines[n], entries.emplace_back()))
        {
            entries.clear();
            return ReadResult::Unreadable;
        }
    }
    return ReadResult::Read;
}

bool SCInstallJournal::Remove() const noexcept
{
    const std::wstring strPath = AfxLongPathForm(m_strPath);
    return DeleteFileW(strPath.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}
