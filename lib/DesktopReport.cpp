#include "lib/DesktopReport.h"

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "framework/AfxThread.h"
#include "lib/Sha256.h"
#include "version.h"

#include <array>
#include <cwchar>
#include <memory>

namespace
{
// The first line names the format: 2 writes the bytes a run copied and read; 1,
// which clients before it write, is read too.
constexpr char kFirstLinePrefix[] = "QVSDesktopReport ";
constexpr unsigned kFormat = 2;
// The keys in their order on disk: who, where, what, when; the format they came in.
struct Key
{
    const wchar_t* pszName;
    unsigned nSince;
};
constexpr std::array<Key, 12> kKeys = {{{L"computer", 1},
                                        {L"user", 1},
                                        {L"root", 1},
                                        {L"release", 1},
                                        {L"outcome", 1},
                                        {L"reason", 1},
                                        {L"copied", 1},
                                        {L"copied-bytes", 2},
                                        {L"read-bytes", 2},
                                        {L"duration-ms", 1},
                                        {L"version", 1},
                                        {L"written", 1}}};
enum : size_t
{
    kOutcomeKey = 4,
    kWrittenKey = 11,
};
// A value longer than this is cut: a report stays small.
constexpr size_t kMaxValueUnits = 8192;

bool IsHigh(wchar_t c) noexcept
{
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(wchar_t c) noexcept
{
    return c >= 0xDC00 && c <= 0xDFFF;
}
// Code units that end or hide a line somewhere, and the escape character itself.
bool NeedsEscape(wchar_t c) noexcept
{
    return c < 0x20 || c == L'%' || c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029;
}

std::wstring Escape(std::wstring_view value)
{
    value = value.substr(0, kMaxValueUnits);
    std::wstring out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i)
    {
        const wchar_t c = value[i];
        const bool bPair = IsHigh(c) && i + 1 < value.size() && IsLow(value[i + 1]);
        wchar_t szEscape[8] = {};
        if (bPair)
        {
            out += c;
            out += value[++i];
        }
        else if (c < 0x100 && NeedsEscape(c))
        {
            swprintf(szEscape, 8, L"%%%02X", static_cast<unsigned>(c));
            out += szEscape;
        }
        else if (NeedsEscape(c) || IsHigh(c) || IsLow(c))
        {
            swprintf(szEscape, 8, L"%%u%04X", static_cast<unsigned>(c));
            out += szEscape;
        }
        else
        {
            out += c;
        }
    }
    return out;
}

int HexDigit(wchar_t c) noexcept
{
    return c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
}

// The value of an escaped text; false for a text the writer would not write.
bool Unescape(std::wstring_view text, std::wstring& value)
{
    value.clear();
    for (size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t c = text[i];
        if (c != L'%')
        {
            if (NeedsEscape(c) || (IsHigh(c) && (i + 1 >= text.size() || !IsLow(text[i + 1]))) ||
                (IsLow(c) && (i == 0 || !IsHigh(text[i - 1]))))
            {
                return false;
            }
            value += c;
            continue;
        }
        const bool bLong = i + 1 < text.size() && text[i + 1] == L'u';
        const size_t nDigits = bLong ? 4 : 2;
        const size_t nStart = i + (bLong ? 2 : 1);
        if (nStart + nDigits > text.size())
        {
            return false;
        }
        unsigned nUnit = 0;
        for (size_t k = 0; k < nDigits; ++k)
        {
            const int d = HexDigit(text[nStart + k]);
            if (d < 0)
            {
                return false;
            }
            nUnit = nUnit * 16 + static_cast<unsigned>(d);
        }
        const auto unit = static_cast<wchar_t>(nUnit);
        // Only the writer's own form: each escaped unit in the one way it is written.
        const bool bShort = unit < 0x100 && NeedsEscape(unit);
        if (bLong == bShort || (bLong && !NeedsEscape(unit) && !IsHigh(unit) && !IsLow(unit)))
        {
            return false;
        }
        value += unit;
        i = nStart + nDigits - 1;
    }
    return true;
}

std::wstring Widen(const char* pszAscii)
{
    return std::wstring(pszAscii, pszAscii + std::char_traits<char>::length(pszAscii));
}

std::string Utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

bool ParseCount(std::wstring_view text, ULONGLONG& nValue) noexcept
{
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == L'0'))
    {
        return false;
    }
    nValue = 0;
    for (const wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
        {
            return false;
        }
        nValue = nValue * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    return true;
}

// "YYYY-MM-DDTHH:MM:SSZ" naming a real moment.
bool IsUtcStamp(std::wstring_view text)
{
    SYSTEMTIME st{};
    FILETIME ft{};
    return text.size() == 20 &&
           swscanf(std::wstring(text).c_str(), L"%4hu-%2hu-%2huT%2hu:%2hu:%2huZ", &st.wYear,
                   &st.wMonth, &st.wDay, &st.wHour, &st.wMinute, &st.wSecond) == 6 &&
           text[4] == L'-' && text[7] == L'-' && text[10] == L'T' && text[13] == L':' &&
           text[16] == L':' && SystemTimeToFileTime(&st, &ft);
}

std::wstring* Field(SCDesktopReport& report, size_t nKey)
{
    // The outcome and the counts are not text: null.
    std::wstring* fields[] = {&report.strComputer, &report.strUser,    &report.strRoot,
                              &report.strRelease,  nullptr,            &report.strReason,
                              nullptr,             nullptr,            nullptr,
                              nullptr,             &report.strVersion, &report.strWritten};
    return fields[nKey];
}

ULONGLONG* Count(SCDesktopReport& report, size_t nKey)
{
    ULONGLONG* counts[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &report.nFilesCopied, &report.nBytesCopied, &report.nBytesRead,
                           &report.nDurationMs, nullptr, nullptr};
    return counts[nKey];
}
} // namespace

const wchar_t* SCDesktopReport::OutcomeName(Outcome value) noexcept
{
    switch (value)
    {
    case Outcome::Succeeded:
        return L"succeeded";
    case Outcome::RetriesSpent:
        return L"retries-spent";
    default:
        return L"failed";
    }
}

void SCDesktopReport::FillWhoAndWhen()
{
    wchar_t szName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    strComputer = GetComputerNameW(szName, &n) ? std::wstring(szName, n) : std::wstring();
    wchar_t szUser[257] = {};
    n = 257;
    strUser = GetUserNameW(szUser, &n) && n > 0 ? std::wstring(szUser, n - 1) : std::wstring();
    const std::string version = QVS_VERSION_TEXT;
    strVersion.assign(version.begin(), version.end());
    SYSTEMTIME st{};
    GetSystemTime(&st);
    wchar_t szWhen[24] = {};
    swprintf(szWhen, 24, L"%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond);
    strWritten = szWhen;
}

std::string SCDesktopReport::Format() const
{
    std::wstring text = Widen(kFirstLinePrefix) + std::to_wstring(kFormat) + L"\n";
    SCDesktopReport copy = *this;
    for (size_t nKey = 0; nKey < kKeys.size(); ++nKey)
    {
        const std::wstring* pField = Field(copy, nKey);
        const std::wstring value = pField != nullptr      ? *pField
                                   : nKey == kOutcomeKey ? OutcomeName(outcome)
                                                         : std::to_wstring(*Count(copy, nKey));
        text += std::wstring(kKeys[nKey].pszName) + L"=" + Escape(value) + L"\n";
    }
    return Utf8(text);
}

bool SCDesktopReport::Parse(std::string_view bytes, SCDesktopReport& report, std::wstring& strWhy)
{
    report = SCDesktopReport();
    if (bytes.size() > kMaxDesktopReportBytes)
    {
        strWhy = L"larger than a report can be";
        return false;
    }
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                      static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0)
    {
        strWhy = L"not UTF-8 text";
        return false;
    }
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                        text.data(), n);
    size_t nPos = 0;
    const auto nextLine = [&text, &nPos](std::wstring_view& line)
    {
        const size_t nEnd = text.find(L'\n', nPos);
        if (nEnd == std::wstring::npos)
        {
            return false;
        }
        line = std::wstring_view(text).substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        return true;
    };
    std::wstring_view line;
    unsigned nFormat = 0;
    const bool bFirst = nextLine(line);
    for (unsigned nKnown = 1; bFirst && nKnown <= kFormat; ++nKnown)
    {
        if (line == Widen(kFirstLinePrefix) + std::to_wstring(nKnown))
        {
            nFormat = nKnown;
        }
    }
    if (nFormat == 0)
    {
        strWhy = L"its first line is not \"" + Widen(kFirstLinePrefix) + std::to_wstring(kFormat) +
                 L"\" (nor of an earlier format)";
        return false;
    }
    report.bBytesKnown = nFormat >= 2;
    size_t nLine = 2;
    for (size_t nKey = 0; nKey < kKeys.size(); ++nKey)
    {
        if (kKeys[nKey].nSince > nFormat)
        {
            continue;
        }
        const std::wstring strKey = kKeys[nKey].pszName;
        std::wstring value;
        if (!nextLine(line) || !line.starts_with(strKey + L"=") ||
            !Unescape(line.substr(strKey.size() + 1), value))
        {
            strWhy = L"line " + std::to_wstring(nLine) + L" is not \"" + strKey + L"=...\"";
            return false;
        }
        std::wstring* pField = Field(report, nKey);
        bool bValid = true;
        if (pField != nullptr)
        {
            *pField = value;
            bValid = nKey != kWrittenKey || IsUtcStamp(value);
        }
        else if (nKey == kOutcomeKey)
        {
            bValid = false;
            for (const Outcome o : {Outcome::Succeeded, Outcome::Failed, Outcome::RetriesSpent})
            {
                if (value == OutcomeName(o))
                {
                    report.outcome = o;
                    bValid = true;
                }
            }
        }
        else
        {
            bValid = ParseCount(value, *Count(report, nKey));
        }
        if (!bValid)
        {
            strWhy = L"line " + std::to_wstring(nLine) + L" holds no valid " + strKey;
            return false;
        }
        ++nLine;
    }
    if (nPos != text.size())
    {
        strWhy = L"it goes on after its last key";
        return false;
    }
    return true;
}

std::wstring DesktopReportFileName(const std::wstring& strComputer, const std::wstring& strRoot)
{
    std::wstring name;
    for (const wchar_t c : strComputer.substr(0, 64))
    {
        if ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
            c == L'-' || c == L'_')
        {
            name += c;
        }
        else
        {
            wchar_t szCode[8] = {};
            swprintf(szCode, 8, L"~%04X", static_cast<unsigned>(c));
            name += szCode;
        }
    }
    std::wstring strUpper = strRoot;
    CharUpperBuffW(strUpper.data(), static_cast<DWORD>(strUpper.size()));
    SCSha256::Digest digest{};
    SCSha256::HashBytes(strUpper.data(), strUpper.size() * sizeof(wchar_t), digest);
    return name + L"-" + SCSha256::ToHex(digest).substr(0, 16) + kDesktopReportExtension;
}

SCReportWriteResult WriteDesktopReport(const std::wstring& strFolder,
                                       const SCDesktopReport& report, DWORD dwDeadlineMs)
{
    const std::wstring strName = DesktopReportFileName(report.strComputer, report.strRoot);
    const std::wstring strBase = strName.substr(0, strName.size() - wcslen(kDesktopReportExtension));
    wchar_t szPid[16] = {};
    swprintf(szPid, 16, L"%lx", GetCurrentProcessId());
    const std::wstring strLeftovers = AfxLongPathForm(strFolder + L"\\~" + strBase + L"-*.tmp");
    const std::wstring strTemp = AfxLongPathForm(strFolder + L"\\~" + strBase + L"-" + szPid + L".tmp");
    const std::wstring strFinal = AfxLongPathForm(strFolder + L"\\" + strName);
    const std::string bytes = report.Format();
    // Everything the work touches is its own: a folder that does not answer keeps it.
    auto pError = std::make_shared<DWORD>(ERROR_SUCCESS);
    const bool bAnswered = AfxRunWithDeadline(
        [=](std::atomic<ULONGLONG>&)
        {
            // What an abandoned report of this installation left behind.
            WIN32_FIND_DATAW fd;
            const UniqueFind find(FindFirstFileW(strLeftovers.c_str(), &fd));
            for (bool bMore = find.valid(); bMore; bMore = FindNextFileW(find.get(), &fd) != FALSE)
            {
                DeleteFileW(AfxLongPathForm(strFolder + L"\\" + fd.cFileName).c_str());
            }
            DWORD nWritten = 0;
            {
                const UniqueFile file(CreateFileW(strTemp.c_str(), GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                        &nWritten, nullptr) ||
                    nWritten != bytes.size())
                {
                    *pError = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
                }
            }
            if (*pError == ERROR_SUCCESS &&
                !MoveFileExW(strTemp.c_str(), strFinal.c_str(), MOVEFILE_REPLACE_EXISTING))
            {
                *pError = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
            }
            if (*pError != ERROR_SUCCESS)
            {
                DeleteFileW(strTemp.c_str());
            }
        },
        dwDeadlineMs);
    SCReportWriteResult result;
    result.bAnswered = bAnswered;
    result.dwError = bAnswered ? *pError : ERROR_SUCCESS;
    return result;
}
