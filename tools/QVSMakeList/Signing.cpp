// QVSMakeList's signing: keys made and read, release numbers found, records signed.
#include "tools/QVSMakeList/Signing.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "lib/ReleaseRecord.h"

#include <algorithm>
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

// The folder of a file's path, without the final backslash ("." for a bare name).
std::wstring FolderOf(const std::wstring& strPath)
{
    const size_t nSlash = strPath.find_last_of(L"\\/:");
    return nSlash == std::wstring::npos ? std::wstring(L".")
           : strPath[nSlash] == L':'    ? strPath.substr(0, nSlash + 1) + L"."
                                        : strPath.substr(0, nSlash);
}

// The .pub file beside the key file that holds the key of this id; empty when none does.
std::wstring FindPublicKey(const std::wstring& strKeyFile, const SCReleasePublicKey::Id& id,
                           SCReleasePublicKey& key)
{
    CFileFind finder;
    BOOL bMore = finder.FindFile((FolderOf(strKeyFile) + L"\\*.pub").c_str());
    while (bMore)
    {
        bMore = finder.FindNextFile();
        std::wstring strWhy;
        if (!finder.IsDirectory() && ReadPublicKey(finder.GetFilePath(), key, strWhy) &&
            key.GetId() == id)
        {
            return finder.GetFilePath();
        }
    }
    return std::wstring();
}

// A record is at most some hundred MB (lib/ReleaseRecord.cpp reads no more).
constexpr ULONGLONG kMaxRecordBytes = 1ull << 29;

DWORD ReadRecordBytes(const std::wstring& strPath, std::string& bytes)
{
    const UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size))
    {
        return GetLastError();
    }
    if (static_cast<ULONGLONG>(size.QuadPart) > kMaxRecordBytes)
    {
        return ERROR_FILE_TOO_LARGE;
    }
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t nDone = 0;
    while (nDone < bytes.size())
    {
        DWORD nRead = 0;
        const DWORD nWant = static_cast<DWORD>(std::min<size_t>(bytes.size() - nDone, 1u << 20));
        if (!ReadFile(file.get(), bytes.data() + nDone, nWant, &nRead, nullptr))
        {
            return GetLastError();
        }
        if (nRead == 0)
        {
            return ERROR_HANDLE_EOF;
        }
        nDone += nRead;
    }
    return ERROR_SUCCESS;
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
    if (arg == L"--accept-changes")
    {
        options.bAcceptChanges = true;
        return true;
    }
    std::wstring* pValue = arg == L"--new-key"    ? &options.strNewKey
                           : arg == L"--sign"     ? &options.strSignKey
                           : arg == L"--next-key" ? &options.strNextKey
                           : arg == L"--from"     ? &options.strFrom
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
    // Release numbers count from 1 to the largest 64-bit number: digits only, no
    // sign, no leading zero, nothing beyond.
    ULONGLONG n = 0;
    bool bValid = !options.bReleaseNumber && value[0] != L'0';
    for (const wchar_t c : value)
    {
        const auto nDigit = static_cast<ULONGLONG>(c - L'0');
        bValid = bValid && c >= L'0' && c <= L'9' && n <= (~0ull - nDigit) / 10;
        n = n * 10 + nDigit;
    }
    if (!bValid)
    {
        strError = L"--release-number needs a whole number from 1 to 18446744073709551615 "
                   L"(given once)";
        return true;
    }
    options.bReleaseNumber = true;
    options.nReleaseNumber = n;
    return true;
}

std::wstring CheckSigningOptions(const SigningOptions& options, bool bFolderGiven)
{
    const bool bWithSign = !options.strNextKey.empty() || options.bReleaseNumber ||
                           !options.strFrom.empty() || options.bAcceptChanges;
    if (!options.strNewKey.empty())
    {
        return bFolderGiven || options.IsSigning() || bWithSign
                   ? L"--new-key makes a key and nothing else: give it alone"
                   : L"";
    }
    if (!options.IsSigning() && bWithSign)
    {
        return L"--next-key, --release-number, --from and --accept-changes go with --sign";
    }
    if (!options.strFrom.empty() && options.bAcceptChanges)
    {
        return L"--accept-changes confirms what changed in a folder signed in place; --from "
               L"publishes the build folder's files as they are: give one of them";
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

    // The number grows with each signed release of the folder, as far as the
    // folder's record can be trusted.
    const std::wstring strRecord = strFolder + L"\\" + kReleaseRecordName;
    ReadPrevious(strRecord, options.strSignKey);
    const ULONGLONG nPrevious = m_bTrusted ? m_previous.GetSigned().nRelease : 0;
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
    if (m_found == Found::Unreadable || m_found == Found::Untrusted)
    {
        result.nExitCode = kExitNumberUnknown;
        result.strError = m_found == Found::Unreadable
                              ? L"the folder's release record " + strRecord +
                                    L" cannot be read, so the last release number is not known"
                              : m_strPrevious + L": its number is not taken";
        result.strError += L"; give it with --release-number N (one more than the last release "
                           L"you signed)";
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

void RecordSigner::ReadPrevious(const std::wstring& strRecord, const std::wstring& strKeyFile)
{
    std::string bytes;
    const DWORD dwError = ReadRecordBytes(strRecord, bytes);
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
    {
        m_found = Found::None;
        m_strPrevious = L"the folder has no release record";
        return;
    }
    if (dwError != ERROR_SUCCESS || !m_previous.Parse(bytes))
    {
        m_found = Found::Unreadable;
        m_strPrevious = L"the folder's release record cannot be read";
        return;
    }
    if (!m_previous.IsSigned())
    {
        m_found = Found::Unsigned;
        m_strPrevious = L"the folder's release record is not signed";
        return;
    }
    const SCReleaseRecord::Signed& block = m_previous.GetSigned();
    const SCReleasePublicKey& key = m_key.GetPublicKey();
    const std::wstring strSigner = SCReleasePublicKey::ShortId(block.signerId);
    std::wstring strWhy;
    if (block.signerId == key.GetId())
    {
        m_bTrusted = m_previous.IsSignedBy(key);
        strWhy = L"its signature does not verify with the signing key";
    }
    else
    {
        // Rotated from: the previous release was signed by an older key whose
        // public key lies beside the signing key, and named the signing key next.
        SCReleasePublicKey older;
        const std::wstring strPub = FindPublicKey(strKeyFile, block.signerId, older);
        m_bTrusted = !strPub.empty() && m_previous.IsSignedBy(older) && block.bNextKey &&
                     block.nextKey == key;
        strWhy = strPub.empty()
                     ? L"it is not the signing key " + key.ShortId() +
                           L", and no .pub file beside " + strKeyFile + L" holds key " + strSigner +
                           L" (the key this one was rotated from is looked for there, as *.pub)"
                 : !m_previous.IsSignedBy(older)
                     ? L"its signature does not verify with that key (" + strPub + L")"
                     : L"that key (" + strPub + L") does not name the signing key " +
                           key.ShortId() + L" as its next key";
    }
    m_previousText.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    m_found = m_bTrusted ? Found::Trusted : Found::Untrusted;
    m_strPrevious = m_bTrusted ? L"release " + std::to_wstring(block.nRelease) +
                                     L" (signed by key " + strSigner + L")"
                               : L"the folder's release record " + strRecord + L" claims release " +
                                     std::to_wstring(block.nRelease) + L" signed by key " +
                                     strSigner + L", but " + strWhy;
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
