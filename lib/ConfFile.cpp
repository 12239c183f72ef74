#include "lib/ConfFile.h"

#include "lib/Miscellaneous.h"
#include "lib/Policy.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <string>
#include <vector>

namespace
{
const wchar_t kSection[] = L"HotUpdate";

std::wstring ConfFilePath()
{
    return GetAppFolder() + L"QVS.ini";
}
} // namespace

std::wstring ReadConfString(const std::wstring& strSection, const std::wstring& strKey)
{
    const std::wstring path = ConfFilePath();
    // The platform cuts a value that does not fit and returns capacity - 1: grow and retry.
    for (DWORD nCapacity = 256;; nCapacity *= 2)
    {
        if (nCapacity >= 1000000)
        {
            SC_THROW(SC_NO_CODE);
        }
        std::vector<wchar_t> buffer(nCapacity, L'\0');
        const DWORD nCount = GetPrivateProfileStringW(strSection.c_str(), strKey.c_str(), L"",
                                                      buffer.data(), nCapacity, path.c_str());
        if (nCount < nCapacity - 1)
        {
            return std::wstring(buffer.data(), nCount);
        }
    }
}

bool WriteConfString(const std::wstring& strSection, const std::wstring& strKey,
                     const std::wstring& strValue)
{
    return WritePrivateProfileStringW(strSection.c_str(), strKey.c_str(), strValue.c_str(),
                                      ConfFilePath().c_str()) != FALSE;
}

std::wstring ReadSourceFolder()
{
    return ReadSetting(L"SourceFolder").strValue;
}

std::wstring ReadReportFolder()
{
    std::wstring strFolder = ReadSetting(L"ReportFolder").strValue;
    // "\\SRV01\QVSReports\" names the same folder as "\\SRV01\QVSReports".
    while (strFolder.size() > 3 && strFolder.back() == L'\\')
    {
        strFolder.pop_back();
    }
    return strFolder;
}

void WriteUpdateResult(bool bSucceeded, SCDateTime dtWhen, const std::wstring& strReason)
{
    WriteConfString(kSection, L"UpdateSucceeded", bSucceeded ? L"1" : L"0");
    WriteConfString(kSection, L"UpdateDateTime", dtWhen.Format(IDS_DATETIME_PATTERN));
    WriteConfString(kSection, L"UpdateFailureReason", strReason);
}

SCFailedRuns ReadFailedRuns()
{
    SCFailedRuns runs;
    runs.strReleaseListTime = ReadConfString(kSection, L"FailedReleaseListTime");
    const std::wstring strRuns = ReadConfString(kSection, L"FailedRunsOfRelease");
    // Anything but a plain count counts as none: a retry too many is cheaper than none.
    if (!strRuns.empty() && strRuns.size() <= 4 &&
        strRuns.find_first_not_of(L"0123456789") == std::wstring::npos)
    {
        runs.nRuns = static_cast<unsigned>(std::stoul(strRuns));
    }
    return runs;
}

void WriteFailedRuns(const SCFailedRuns& runs)
{
    WriteConfString(kSection, L"FailedReleaseListTime", runs.strReleaseListTime);
    WriteConfString(kSection, L"FailedRunsOfRelease", std::to_wstring(runs.nRuns));
}

namespace
{
// A key of whole seconds from 1 to 600, in milliseconds: the policy's (which holds
// only numbers in that range), else QVS.ini's, else the default.
DWORD ReadSecondsMs(const wchar_t* pszKey, DWORD dwDefaultSeconds)
{
    DWORD dwPolicySeconds = 0;
    SCSettingSource source = SCSettingSource::Default;
    if (SCPolicy::Current().Number(pszKey, dwPolicySeconds, source))
    {
        return dwPolicySeconds * 1000;
    }
    const std::wstring strSeconds = ReadConfString(kSection, pszKey);
    if (strSeconds.empty() || strSeconds.size() > 3 ||
        strSeconds.find_first_not_of(L"0123456789") != std::wstring::npos)
    {
        return dwDefaultSeconds * 1000;
    }
    const DWORD dwSeconds = static_cast<DWORD>(std::stoul(strSeconds));
    return dwSeconds >= 1 && dwSeconds <= 600 ? dwSeconds * 1000 : dwDefaultSeconds * 1000;
}
} // namespace

DWORD ReadReleaseFolderTimeoutMs()
{
    return ReadSecondsMs(L"ReleaseFolderTimeoutSeconds", 3);
}

DWORD ReadReleaseFolderStallMs()
{
    return ReadSecondsMs(L"ReleaseFolderStallSeconds", 20);
}
