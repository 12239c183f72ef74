#pragma once
// The settings Group Policy pushes: an administrator steers every desktop from one
// place, and a user cannot override what the machine's policy sets. The only code
// that reads the policy keys, and the one that knows where each setting in force
// came from.
//
//   HKLM\SOFTWARE\Policies\Quovisa\QVSCliUpdate   the machine policy
//   HKCU\SOFTWARE\Policies\Quovisa\QVSCliUpdate   the user policy
//
// Both hold values of the names and meanings of the [HotUpdate] keys the
// administrator sets in QVS.ini (PolicyValues()), and UpdatesDisabled, which QVS.ini
// does not have. A setting in force is the machine policy's, else the user
// policy's, else QVS.ini's, else the default. A value of the wrong type, or a
// number outside its range, is not used: the next source applies, and the start
// names it once in the log and the event log (ReportPolicyProblems). An empty text
// counts as not set, as an empty key does in QVS.ini. A ReleaseKey that is text but
// no key is no value of the wrong type: it stays in force and refuses every
// release, as it does in QVS.ini (a broken key must not fall back to a weaker one).
//
// The keys are read once per start (SCPolicy::Current()): the everyday start pays
// two key opens when no policy is set, and one read per value that is.

#include <windows.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

// Where a setting in force came from.
enum class SCSettingSource
{
    MachinePolicy,
    UserPolicy,
    ConfFile,
    Default,
};

// The key below HKLM and HKCU.
extern const wchar_t kPolicyKey[];

// A value the program reads in the policy key: text (REG_SZ), or a number
// (REG_DWORD) from dwMin to dwMax.
struct SCPolicyValueSpec
{
    const wchar_t* pszName;
    bool bNumber;
    DWORD dwMin;
    DWORD dwMax;
};
std::span<const SCPolicyValueSpec> PolicyValues();

// A policy value that cannot be used.
struct SCPolicyProblem
{
    enum class Kind
    {
        NotText,    // a text value of another type
        NotNumber,  // a number of another type
        OutOfRange, // a number outside its range (dwNumber)
        TooLong,    // a text of more than kMaxPolicyText characters
    };
    const SCPolicyValueSpec* pSpec = nullptr;
    SCSettingSource source = SCSettingSource::MachinePolicy;
    Kind kind = Kind::NotText;
    DWORD dwNumber = 0;
};
constexpr size_t kMaxPolicyText = 32767;

class SCPolicy
{
public:
    // The two keys as the registry holds them now.
    static SCPolicy Read();
    // The start's: read at the first call, and the same for the rest of the start.
    static const SCPolicy& Current();

    // The usable value of that name, the machine policy's before the user's; false
    // when neither holds one.
    bool Text(const wchar_t* pszName, std::wstring& strValue, SCSettingSource& source) const;
    bool Number(const wchar_t* pszName, DWORD& dwValue, SCSettingSource& source) const;
    const std::vector<SCPolicyProblem>& Problems() const { return m_problems; }

private:
    struct Value
    {
        const SCPolicyValueSpec* pSpec;
        SCSettingSource source;
        std::wstring strText;
        DWORD dwNumber;
    };
    void ReadKey(HKEY hHive, SCSettingSource source);
    const Value* Find(const wchar_t* pszName) const;

    std::vector<Value> m_values; // the usable ones, the machine's first
    std::vector<SCPolicyProblem> m_problems;
};

// A text setting of QVS.ini's section [HotUpdate] as it is in force: policy, then
// QVS.ini, then empty (Default).
struct SCSetting
{
    std::wstring strValue;
    SCSettingSource source = SCSettingSource::Default;
};
SCSetting ReadSetting(const wchar_t* pszName);

// UpdatesDisabled is 1 in the policy in force: the client is started at once.
bool UpdatesDisabledByPolicy();

// ---- Texts (from the program's string table) ----
// "QVS.ini", "the machine policy HKLM\...", "the user policy HKCU\...".
std::wstring SettingSourceName(SCSettingSource source);
// The run's first log line: where SourceFolder and ReleaseKey came from.
std::wstring SettingsOriginLine();
// "Updates are turned off by policy (...)".
std::wstring UpdatesDisabledLine();
// Names every unusable policy value of the start, once: a line for the log (through
// toLog) and a warning event each.
void ReportPolicyProblems(const std::function<void(const std::wstring&)>& toLog);
