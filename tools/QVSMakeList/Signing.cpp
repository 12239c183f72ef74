// QVSMakeList's signing: keys made and read, release numbers found, records signed.
#include "tools/QVSMakeList/Signing.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "lib/ReleaseRecord.h"

#include <cwchar>
#include <string_view>

namespace
{
// "admin.key" -> "admin.pub"; a name without extension gets one.
std::wstring PublicKeyPath(const std::wstring& strKeyFile)
{
    const size_t nSlash = strKeyFile.find_last_of(L"\\/:");
    const size_t nDot = strKeyFile.rfind(L'.');
    const bool bExtension = nDot != std::wstring::npos && (nSlash == std::wstring::npos || nDot > nSlash);
    return (bExtension ? strKeyFile.substr(0, nDot) : strKeyFile) + L".pub";
}

bool Exists(const std::wstring& strPath)
{
    return GetFileAttributesW(AfxLongPathForm(strPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring AccountName()
{
    wchar_t szName[256] = {};
    DWORD n = 256;
    return GetUserNameW(szName, &n) ? std::wstring(szName) : std::wstring(L"this account");
}

DWORD WriteNewTextFile(const std::wstring& strPath, const std::wstring& strLine)
{
    // The key's text is ASCII: written as such, readable by any editor.
    std::string bytes;
    for (const wchar_t c : strLine)
    {
        bytes += static_cast<char>(c);
    }
    bytes += "\r\n";
    const UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD nWritten = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &nWritten,
                            nullptr) ||
        nWritten != bytes.size())
    {
        const DWORD dwError = GetLastError();
        return dwError != ERROR_SUCCESS ? dwError : ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// The public key in a .pub file: one line, as --new-key writes it (an editor's
// byte-order mark and line end are allowed).
bool ReadPublicKey(const std::wstring& strPath, SCReleasePublicKey& key, std::wstring& strWhy)
{
    const UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char buffer[1024] = {};
    DWORD nRead = 0;
    if (!file || !ReadFile(file.get(), buffer, sizeof(buffer), &nRead, nullptr))
    {
        strWhy = L"cannot be read (" + AfxSystemErrorLine(GetLastError()) + L")";
        return false;
    }
    std::string_view bytes(buffer, nRead);
    if (bytes.starts_with("\xEF\xBB\xBF"))
    {
        bytes.remove_prefix(3);
    }
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r'))
    {
        bytes.remove_suffix(1);
    }
    std::wstring text;
    for (const char c : bytes)
    {
        text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    switch (key.Parse(text))
    {
    case SCReleasePublicKey::ParseError::None:
        return true;
    case SCReleasePublicKey::ParseError::NotAPoint:
        strWhy = L"holds no point of the curve P-256";
        return false;
    default:
        strWhy = L"is not a public key line (ecdsa-p256: and 128 lower-case hex digits)";
        return false;
    }
}

std::wstring KeyFileProblem(const std::wstring& strPath, SCReleaseSigningKey::Stage stage,
                            DWORD dwError)
{
    const std::wstring strSystem = AfxSystemErrorLine(dwError);
    switch (stage)
    {
    case SCReleaseSigningKey::Stage::Read:
        return L"cannot read the key file " + strPath + L" (" + strSystem + L")";
    case SCReleaseSigningKey::Stage::NotAKey:
        return strPath + L" is not a release key file made by QVSMakeList --new-key";
    case SCReleaseSigningKey::Stage::Unprotect:
        return L"the key file " + strPath + L" cannot be unsealed (" + strSystem +
               L"): it was made by another Windows account or on another computer, or it is "
               L"damaged; sign as the account that made it, on its computer";
    default:
        return L"the key file " + strPath + L" holds no usable key (" + strSystem + L")";
    }
}
} // namespace

bool TakeSigningOption(int argc, wchar_t** argv, int& i, SigningOptions& options,
                       std::wstring& strError)
{
    const std::wstring_view arg = argv[i];
    std::wstring* pValue = arg == L"--new-key"    ? &options.strNewKey
                           : arg == L"--sign"     ? &options.strSignKey
                           : arg == L"--next-key" ? &options.strNextKey
                                                  : nullptr;
    const bool bNumber = arg == L"--release-number";
    if (pValue == nullptr && !bNumber)
    {
        return false;
    }
    if (i + 1 >= argc || argv[i + 1][0] == L'\0')
    {
        strError = std::wstring(arg) + L" needs a value";
        return true;
    }
    const std::wstring value = argv[++i];
    if (pValue != nullptr)
    {
        if (!pValue->empty())
        {
            strError = std::wstring(arg) + L" given twice";
        }
        *pValue = value;
        return true;
    }
    // Release numbers count from 1; digits only, no sign, no leading zero.
    wchar_t* pEnd = nullptr;
    const unsigned long long n = wcstoull(value.c_str(), &pEnd, 10);
    if (options.bReleaseNumber || value.find_first_not_of(L"0123456789") != std::wstring::npos ||
        value[0] == L'0' || value.size() > 19 || pEnd == nullptr || *pEnd != L'\0' || n == 0)
    {
        strError = L"--release-number needs a whole number from 1 (given once)";
        return true;
    }
    options.bReleaseNumber = true;
    options.nReleaseNumber = n;
    return true;
}

std::wstring CheckSigningOptions(const SigningOptions& options, bool bFolderGiven)
{
    if (!options.strNewKey.empty())
    {
        return bFolderGiven || options.IsSigning() || !options.strNextKey.empty() ||
                       options.bReleaseNumber
                   ? L"--new-key makes a key and nothing else: give it alone"
                   : L"";
    }
    if (!options.IsSigning() && (!options.strNextKey.empty() || options.bReleaseNumber))
    {
        return L"--next-key and --release-number go with --sign";
    }
    return L"";
}

SigningResult MakeNewKey(const std::wstring& strKeyFile)
{
    SigningResult result;
    const std::wstring strPubFile = PublicKeyPath(strKeyFile);
    for (const std::wstring& strPath : {strKeyFile, strPubFile})
    {
        if (Exists(strPath))
        {
            result.nExitCode = kExitKeyUnusable;
            result.strError = strPath + L" exists already: it is not overwritten (a key that "
                                        L"signed releases cannot be made again)";
            return result;
        }
    }
    SCReleaseSigningKey key;
    DWORD dwError = key.Generate();
    if (dwError == ERROR_SUCCESS)
    {
        dwError = key.Save(strKeyFile);
    }
    if (dwError != ERROR_SUCCESS)
    {
        result.nExitCode = kExitKeyUnusable;
        result.strError = L"cannot make the key file " + strKeyFile + L" (" +
                          AfxSystemErrorLine(dwError) + L")";
        return result;
    }
    const std::wstring strPublic = key.GetPublicKey().ToText();
    dwError = WriteNewTextFile(strPubFile, strPublic);
    if (dwError != ERROR_SUCCESS)
    {
        // A key without its public half is of no use to anyone: none is left.
        DeleteFileW(AfxLongPathForm(strKeyFile).c_str());
        result.nExitCode = kExitKeyUnusable;
        result.strError = L"cannot write " + strPubFile + L" (" + AfxSystemErrorLine(dwError) +
                          L"); no key was kept";
        return result;
    }
    result.strOut = L"QVSMakeList: new release key " + key.GetPublicKey().ShortId() +
                    L" in " + strKeyFile + L" (sealed for " + AccountName() +
                    L" on this computer: keep a copy safe), its public key in " + strPubFile +
                    L".\r\nIn each client's QVS.ini, section [HotUpdate]:\r\nReleaseKey=" +
                    strPublic + L"\r\n";
    return result;
}

bool RecordSigner::Prepare(const SigningOptions& options, const std::wstring& strFolder,
                           SigningResult& result)
{
    const SCReleaseSigningKey::Stage stage = m_key.Load(options.strSignKey);
    if (stage != SCReleaseSigningKey::Stage::Loaded)
    {
        result.nExitCode = kExitKeyUnusable;
        result.strError = KeyFileProblem(options.strSignKey, stage, m_key.GetError());
        return false;
    }
    m_bNextKey = !options.strNextKey.empty();
    std::wstring strWhy;
    if (m_bNextKey && !ReadPublicKey(options.strNextKey, m_nextKey, strWhy))
    {
        result.nExitCode = kExitKeyUnusable;
        result.strError = L"the next key's file " + options.strNextKey + L" " + strWhy;
        return false;
    }
    if (m_bNextKey && m_nextKey == m_key.GetPublicKey())
    {
        result.nExitCode = kExitKeyUnusable;
        result.strError = L"the next key " + options.strNextKey + L" is the signing key itself";
        return false;
    }

    // The number grows with each signed release of the folder.
    const std::wstring strRecord = strFolder + L"\\" + kReleaseRecordName;
    SCReleaseRecord previous;
    previous.Read(strRecord);
    const SCReleaseRecord::State state = previous.GetState();
    const ULONGLONG nPrevious = previous.IsSigned() ? previous.GetSigned().nRelease : 0;
    if (options.bReleaseNumber)
    {
        m_nRelease = options.nReleaseNumber;
        if (m_nRelease < nPrevious)
        {
            result.strError = L"warning: release " + std::to_wstring(m_nRelease) +
                              L" is lower than the folder's last signed release " +
                              std::to_wstring(nPrevious) +
                              L"; clients that installed a later one refuse it";
        }
        return true;
    }
    if (state != SCReleaseRecord::State::Loaded && state != SCReleaseRecord::State::Missing)
    {
        result.nExitCode = kExitNumberUnknown;
        result.strError = L"the folder's release record " + strRecord +
                          L" cannot be read, so the last release number is not known; give it "
                          L"with --release-number N (one more than the last signed release)";
        return false;
    }
    if (nPrevious == ~0ull)
    {
        result.nExitCode = kExitNumberUnknown;
        result.strError = L"the folder's last release number is the largest there is; start "
                          L"afresh with --release-number and a new key";
        return false;
    }
    m_nRelease = nPrevious + 1;
    return true;
}

DWORD RecordSigner::Sign(std::wstring& strRecord) const
{
    return m_key.SignRecord(strRecord, m_nRelease, m_bNextKey ? &m_nextKey : nullptr);
}

std::wstring RecordSigner::Summary() const
{
    std::wstring text = L", signed as release " + std::to_wstring(m_nRelease) + L" with key " +
                        m_key.GetPublicKey().ShortId();
    if (m_bNextKey)
    {
        text += L", naming the next key " + m_nextKey.ShortId();
    }
    return text;
}
