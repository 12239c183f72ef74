#include "lib/Policy.h"

#include "framework/AfxHandle.h"
#include "framework/AfxWinApp.h"
#include "lib/ConfFile.h"
#include "lib/ResString.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <cwchar>

const wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Quovisa\\QVSCliUpdate";

namespace
{
constexpr SCPolicyValueSpec kValues[] = {
    {L"SourceFolder", false, 0, 0},
    {L"ReleaseKey", false, 0, 0},
    {L"ReportFolder", false, 0, 0},
    {L"ReleaseFolderTimeoutSeconds", true, 1, 600},
    {L"ReleaseFolderStallSeconds", true, 1, 600},
    {L"UpdatesDisabled", true, 0, 1},
};

// From the string module when the start opened it, else from the running program.
std::wstring PolicyText(UINT nId, std::initializer_list<std::wstring> args = {})
{
    SCResUString strPattern;
    if (SCResUString::s_hModule == nullptr || !strPattern.Load(nId))
    {
        strPattern.assign(AfxLoadString(nId));
    }
    return AfxFormatStrings(strPattern, args);
}

std::wstring KeyPath(SCSettingSource source)
{
    return (source == SCSettingSource::MachinePolicy ? L"HKLM\\" : L"HKCU\\") +
           std::wstring(kPolicyKey);
}
} // namespace

std::span<const SCPolicyValueSpec> PolicyValues()
{
    return kValues;
}

void SCPolicy::ReadKey(HKEY hHive, SCSettingSource source)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(hHive, kPolicyKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    {
        return;
    }
    for (const SCPolicyValueSpec& known : kValues)
    {
        DWORD dwType = REG_NONE;
        DWORD cbData = 0;
        if (RegQueryValueExW(key.get(), known.pszName, nullptr, &dwType, nullptr, &cbData) !=
            ERROR_SUCCESS)
        {
            continue; // not set here
        }
        SCPolicyProblem problem{&known, source, SCPolicyProblem::Kind::NotText, 0};
        if (known.bNumber)
        {
            DWORD dwNumber = 0;
            DWORD cbNumber = sizeof dwNumber;
            if (dwType != REG_DWORD ||
                RegQueryValueExW(key.get(), known.pszName, nullptr, &dwType,
                                 reinterpret_cast<BYTE*>(&dwNumber), &cbNumber) != ERROR_SUCCESS ||
                dwType != REG_DWORD || cbNumber != sizeof dwNumber)
            {
                problem.kind = SCPolicyProblem::Kind::NotNumber;
            }
            else if (dwNumber < known.dwMin || dwNumber > known.dwMax)
            {
                problem.kind = SCPolicyProblem::Kind::OutOfRange;
                problem.dwNumber = dwNumber;
            }
            else
            {
                m_values.push_back({&known, source, {}, dwNumber});
                continue;
            }
        }
        else if (dwType != REG_SZ)
        {
            problem.kind = SCPolicyProblem::Kind::NotText;
        }
        else if (cbData / sizeof(wchar_t) > kMaxPolicyText + 1)
        {
            problem.kind = SCPolicyProblem::Kind::TooLong;
        }
        else
        {
            // Room for a terminator the value may lack; the text ends at its first NUL.
            std::wstring strText(cbData / sizeof(wchar_t) + 1, L'\0');
            DWORD cbText = static_cast<DWORD>(strText.size() * sizeof(wchar_t));
            if (RegQueryValueExW(key.get(), known.pszName, nullptr, &dwType,
                                 reinterpret_cast<BYTE*>(strText.data()), &cbText) !=
                    ERROR_SUCCESS ||
                dwType != REG_SZ)
            {
                continue; // changed under us: as if not set
            }
            strText.resize(wcsnlen(strText.c_str(), strText.size()));
            if (!strText.empty())
            {
                m_values.push_back({&known, source, std::move(strText), 0});
            }
            continue;
        }
        m_problems.push_back(problem);
    }
}

SCPolicy SCPolicy::Read()
{
    SCPolicy policy;
    policy.ReadKey(HKEY_LOCAL_MACHINE, SCSettingSource::MachinePolicy);
    policy.ReadKey(HKEY_CURRENT_USER, SCSettingSource::UserPolicy);
    return policy;
}

const SCPolicy& SCPolicy::Current()
{
    static const SCPolicy s_policy = Read();
    return s_policy;
}

const SCPolicy::Value* SCPolicy::Find(const wchar_t* pszName) const
{
    for (const Value& value : m_values)
    {
        if (wcscmp(value.pSpec->pszName, pszName) == 0)
        {
            return &value;
        }
    }
    return nullptr;
}

bool SCPolicy::Text(const wchar_t* pszName, std::wstring& strValue, SCSettingSource& source) const
{
    const Value* pValue = Find(pszName);
    if (pValue == nullptr || pValue->pSpec->bNumber)
    {
        return false;
    }
    strValue = pValue->strText;
    source = pValue->source;
    return true;
}

bool SCPolicy::Number(const wchar_t* pszName, DWORD& dwValue, SCSettingSource& source) const
{
    const Value* pValue = Find(pszName);
    if (pValue == nullptr || !pValue->pSpec->bNumber)
    {
        return false;
    }
    dwValue = pValue->dwNumber;
    source = pValue->source;
    return true;
}

SCSetting ReadSetting(const wchar_t* pszName)
{
    SCSetting setting;
    if (!SCPolicy::Current().Text(pszName, setting.strValue, setting.source))
    {
        setting.strValue = ReadConfString(L"HotUpdate", pszName);
        setting.source =
            setting.strValue.empty() ? SCSettingSource::Default : SCSettingSource::ConfFile;
    }
    return setting;
}

bool UpdatesDisabledByPolicy()
{
    DWORD dwDisabled = 0;
    SCSettingSource source = SCSettingSource::Default;
    return SCPolicy::Current().Number(L"UpdatesDisabled", dwDisabled, source) && dwDisabled == 1;
}

std::wstring SettingSourceName(SCSettingSource source)
{
    switch (source)
    {
    case SCSettingSource::MachinePolicy:
        return PolicyText(IDS_SOURCE_MACHINE_POLICY, {KeyPath(source)});
    case SCSettingSource::UserPolicy:
        return PolicyText(IDS_SOURCE_USER_POLICY, {KeyPath(source)});
    default:
        return L"QVS.ini";
    }
}

std::wstring SettingsOriginLine()
{
    const auto origin = [](const wchar_t* pszName)
    {
        const SCSettingSource source = ReadSetting(pszName).source;
        return source == SCSettingSource::Default
                   ? PolicyText(IDS_SETTING_NOT_SET, {pszName})
                   : PolicyText(IDS_SETTING_FROM, {pszName, SettingSourceName(source)});
    };
    return PolicyText(IDS_SETTINGS_IN_FORCE, {origin(L"SourceFolder"), origin(L"ReleaseKey")});
}

std::wstring UpdatesDisabledLine()
{
    DWORD dwDisabled = 0;
    SCSettingSource source = SCSettingSource::MachinePolicy;
    SCPolicy::Current().Number(L"UpdatesDisabled", dwDisabled, source);
    return PolicyText(IDS_UPDATES_DISABLED, {SettingSourceName(source)});
}

void ReportPolicyProblems(const std::function<void(const std::wstring&)>& toLog)
{
    for (const SCPolicyProblem& problem : SCPolicy::Current().Problems())
    {
        std::wstring strWhy;
        switch (problem.kind)
        {
        case SCPolicyProblem::Kind::NotText:
            strWhy = PolicyText(IDS_POLICY_NOT_TEXT);
            break;
        case SCPolicyProblem::Kind::NotNumber:
            strWhy = PolicyText(IDS_POLICY_NOT_NUMBER);
            break;
        case SCPolicyProblem::Kind::OutOfRange:
            strWhy = PolicyText(IDS_POLICY_OUT_OF_RANGE,
                          {std::to_wstring(problem.dwNumber), std::to_wstring(problem.pSpec->dwMin),
                           std::to_wstring(problem.pSpec->dwMax)});
            break;
        case SCPolicyProblem::Kind::TooLong:
            strWhy = PolicyText(IDS_POLICY_TOO_LONG, {std::to_wstring(kMaxPolicyText)});
            break;
        }
        const std::wstring strLine =
            PolicyText(IDS_POLICY_IGNORED, {problem.pSpec->pszName, KeyPath(problem.source), strWhy});
        toLog(strLine);
        LogWarningEvent(strLine, SC_SOURCE_FILE, __LINE__);
    }
}
