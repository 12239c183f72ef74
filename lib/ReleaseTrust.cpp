#include "lib/ReleaseTrust.h"

#include "framework/AfxException.h"
#include "framework/AfxWinApp.h"
#include "lib/ConfFile.h"
#include "lib/Policy.h"
#include "lib/ResString.h"
#include "lib/SignedStamp.h"
#include "resource.h"

namespace
{
const wchar_t kSection[] = L"HotUpdate";
const wchar_t kReleaseKey[] = L"ReleaseKey";
const wchar_t kPinnedKey[] = L"PinnedReleaseKey";
const wchar_t kPinnedFrom[] = L"PinnedFromReleaseKey";
const wchar_t kPinnedBy[] = L"PinnedByRecord";
const wchar_t kInstalledNumber[] = L"InstalledReleaseNumber";
const wchar_t kInstalledUnder[] = L"InstalledUnderReleaseKey";

std::wstring Text(UINT nId, std::initializer_list<std::wstring> args)
{
    return AfxFormatStrings(SCResUString(nId), args);
}

SCReleaseTrustDecision Refuse(UINT nId, std::initializer_list<std::wstring> args)
{
    SCReleaseTrustDecision decision;
    decision.verdict = SCReleaseTrustDecision::Verdict::Refused;
    decision.strText = Text(nId, args);
    return decision;
}

// A whole number of decimal digits, no sign, no leading zero; empty is 0.
bool ParseNumber(const std::wstring& strText, ULONGLONG& nNumber) noexcept
{
    nNumber = 0;
    if (strText.size() > 1 && strText[0] == L'0')
    {
        return false;
    }
    for (const wchar_t c : strText)
    {
        const auto nDigit = static_cast<ULONGLONG>(c - L'0');
        if (c < L'0' || c > L'9' || nNumber > (~0ull - nDigit) / 10)
        {
            return false;
        }
        nNumber = nNumber * 10 + nDigit;
    }
    return true;
}

// The record of the list being installed, or why there is none to trust; strKeySource
// names where the ReleaseKey in force came from.
bool RecordRefusal(const std::wstring& strFolder, const std::wstring& strKeySource,
                   const SCReleaseRecord& record, SCReleaseTrustDecision& refusal)
{
    switch (record.GetState())
    {
    case SCReleaseRecord::State::Loaded:
        if (record.IsSigned())
        {
            return false;
        }
        refusal = Refuse(IDS_TRUST_NOT_SIGNED, {strFolder, strKeySource});
        return true;
    case SCReleaseRecord::State::Missing:
        refusal = Refuse(IDS_TRUST_NO_RECORD, {strFolder, strKeySource});
        return true;
    case SCReleaseRecord::State::OtherList:
        refusal = Refuse(IDS_TRUST_OTHER_LIST, {strFolder});
        return true;
    default:
        refusal = Refuse(IDS_TRUST_RECORD_UNREADABLE,
                         {strFolder, SCRecordProblem(record), strKeySource});
        return true;
    }
}
} // namespace

SCReleaseTrustSettings SCReleaseTrustSettings::Read()
{
    SCReleaseTrustSettings settings;
    // The one in force: a policy's before QVS.ini's. The pin below counts only while
    // it descends from this very key, wherever the key comes from.
    const SCSetting releaseKey = ReadSetting(kReleaseKey);
    settings.strReleaseKey = releaseKey.strValue;
    settings.releaseKeySource = releaseKey.source;
    if (!settings.strReleaseKey.empty())
    {
        settings.strPinnedKey = ReadConfString(kSection, kPinnedKey);
        settings.strPinnedFrom = ReadConfString(kSection, kPinnedFrom);
        settings.strPinnedBy = ReadConfString(kSection, kPinnedBy);
        settings.strInstalledNumber = ReadConfString(kSection, kInstalledNumber);
        settings.strInstalledUnder = ReadConfString(kSection, kInstalledUnder);
    }
    return settings;
}

SCReleaseTrustDecision CheckReleaseTrust(const SCReleaseTrustSettings& settings,
                                         const std::wstring& strFolder,
                                         const SCReleaseRecord& record, const FileList& plan)
{
    if (settings.strReleaseKey.empty())
    {
        return SCReleaseTrustDecision();
    }
    // The installation's own trust, before anything of the release.
    const std::wstring strKeySource = SettingSourceName(settings.releaseKeySource);
    SCReleasePublicKey trusted;
    if (trusted.Parse(settings.strReleaseKey) != SCReleasePublicKey::ParseError::None)
    {
        return Refuse(IDS_TRUST_BAD_RELEASE_KEY, {strFolder, strKeySource});
    }
    SCSha256::Digest pinnedBy{};
    bool bPinnedBy = false;
    if (!settings.strPinnedKey.empty() && settings.strPinnedFrom == settings.strReleaseKey)
    {
        if (trusted.Parse(settings.strPinnedKey) != SCReleasePublicKey::ParseError::None)
        {
            return Refuse(IDS_TRUST_BAD_OWN_KEY, {kPinnedKey, strFolder});
        }
        bPinnedBy = !settings.strPinnedBy.empty();
        if (bPinnedBy && !SCSha256::FromHex(settings.strPinnedBy, pinnedBy))
        {
            return Refuse(IDS_TRUST_BAD_OWN_KEY, {kPinnedBy, strFolder});
        }
    }
    ULONGLONG nInstalled = 0;
    if (!ParseNumber(settings.strInstalledNumber, nInstalled))
    {
        return Refuse(IDS_TRUST_BAD_OWN_KEY, {kInstalledNumber, strFolder});
    }
    if (!settings.strInstalledUnder.empty() && settings.strInstalledUnder != settings.strReleaseKey)
    {
        // Counted under a ReleaseKey the administrator has since replaced.
        nInstalled = 0;
    }

    // The release: its record, its signature, its number, its files.
    SCReleaseTrustDecision refusal;
    if (RecordRefusal(strFolder, strKeySource, record, refusal))
    {
        return refusal;
    }
    const SCReleaseRecord::Signed& block = record.GetSigned();
    if (block.signerId == trusted.GetId())
    {
        if (!record.IsSignedBy(trusted))
        {
            return Refuse(IDS_TRUST_BAD_SIGNATURE, {strFolder});
        }
    }
    else if (!bPinnedBy || block.signedDigest != pinnedBy)
    {
        // Not the rotating release run again either: only its exact content passes.
        return Refuse(IDS_TRUST_OTHER_KEY, {strFolder, SCReleasePublicKey::ShortId(block.signerId),
                                            trusted.ShortId()});
    }
    if (block.nRelease < nInstalled)
    {
        return Refuse(IDS_TRUST_OLDER, {strFolder, std::to_wstring(block.nRelease),
                                        std::to_wstring(nInstalled)});
    }
    for (const std::unique_ptr<FileListEntry>& pEntry : plan)
    {
        if (!pEntry->target.empty() && record.Find(pEntry->folder, pEntry->name) == nullptr)
        {
            return Refuse(IDS_TRUST_UNNAMED_FILE, {strFolder, pEntry->folder + pEntry->name});
        }
        if (SCIsStampAhead(pEntry->modified))
        {
            return Refuse(IDS_TRUST_STAMP_AHEAD,
                          {strFolder, pEntry->folder + pEntry->name, pEntry->modified});
        }
    }

    SCReleaseTrustDecision decision;
    decision.verdict = SCReleaseTrustDecision::Verdict::Accepted;
    decision.nReleaseNumber = block.nRelease;
    decision.strInstalledUnder = settings.strReleaseKey;
    const std::wstring strNumber = std::to_wstring(block.nRelease);
    const std::wstring strSigner = SCReleasePublicKey::ShortId(block.signerId);
    if (block.bNextKey)
    {
        decision.bPin = true;
        decision.strPinnedKey = block.nextKey.ToText();
        decision.strPinnedFrom = settings.strReleaseKey;
        decision.strPinnedBy = SCSha256::ToHex(block.signedDigest);
        decision.strText = Text(IDS_TRUST_ACCEPTED_NEXT_KEY,
                                {strFolder, strNumber, strSigner, block.nextKey.ShortId()});
    }
    else
    {
        decision.strText = Text(IDS_TRUST_ACCEPTED, {strFolder, strNumber, strSigner});
    }
    return decision;
}

std::vector<std::pair<std::wstring, std::wstring>> SCReleaseTrustDecision::Writes() const
{
    std::vector<std::pair<std::wstring, std::wstring>> writes;
    if (verdict != Verdict::Accepted)
    {
        return writes;
    }
    if (bPin)
    {
        // The record that may still pass under the old key first, the key next, and
        // last what makes the pin count: until then the old key is trusted, and it
        // signed this release.
        writes.emplace_back(kPinnedBy, strPinnedBy);
        writes.emplace_back(kPinnedKey, strPinnedKey);
        writes.emplace_back(kPinnedFrom, strPinnedFrom);
    }
    // The number before the key it counts under: a number counted under another
    // ReleaseKey does not count.
    writes.emplace_back(kInstalledNumber, std::to_wstring(nReleaseNumber));
    writes.emplace_back(kInstalledUnder, strInstalledUnder);
    return writes;
}

DWORD RecordReleaseAtCopyStart(const SCReleaseTrustDecision& decision)
{
    for (const auto& [strKey, strValue] : decision.Writes())
    {
        if (!WriteConfString(kSection, strKey, strValue))
        {
            const DWORD dwError = GetLastError();
            return dwError != ERROR_SUCCESS ? dwError : ERROR_WRITE_FAULT;
        }
    }
    return ERROR_SUCCESS;
}
