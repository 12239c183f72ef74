// The private side of the release key: made, sealed for the Windows account,
// unsealed and used to sign. Only QVSMakeList (and the tests) link it: it is
// what makes a program import crypt32.
#include "lib/ReleaseKey.h"

#include "framework/AfxFileFind.h"
#include "lib/ReleaseRecord.h"

#include <wincrypt.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
// CNG's private blob of a P-256 key: the header, then X, Y and the secret d.
constexpr ULONG kPrivateBlobBytes = sizeof(BCRYPT_ECCKEY_BLOB) + 3 * 32;
// Written into the sealed data: the owner sees it in tools that list seals.
constexpr wchar_t kSealDescription[] = L"QVS release signing key";

// A buffer that forgets the secret it held.
struct SecretBytes
{
    std::vector<BYTE> bytes;
    explicit SecretBytes(size_t n) : bytes(n, 0) {}
    ~SecretBytes() { SecureZeroMemory(bytes.data(), bytes.size()); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
};

// The system frees what CryptProtectData and CryptUnprotectData hand back.
struct SealedBlob
{
    DATA_BLOB blob{};
    bool bSecret = false;
    ~SealedBlob()
    {
        if (blob.pbData != nullptr)
        {
            if (bSecret)
            {
                SecureZeroMemory(blob.pbData, blob.cbData);
            }
            LocalFree(blob.pbData);
        }
    }
};

DWORD WriteNewFile(const std::wstring& strPath, const std::string& bytes)
{
    const std::wstring strLong = AfxLongPathForm(strPath);
    const UniqueFile file(CreateFileW(strLong.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return GetLastError();
    }
    DWORD nWritten = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &nWritten,
                   nullptr) ||
        nWritten != bytes.size() || !FlushFileBuffers(file.get()))
    {
        const DWORD dwError = GetLastError();
        DeleteFileW(strLong.c_str());
        return dwError != ERROR_SUCCESS ? dwError : ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// A key file is a few hundred bytes: anything much larger is not one.
constexpr DWORD kMaxKeyFileBytes = 64 * 1024;

DWORD ReadSmallFile(const std::wstring& strPath, std::string& bytes)
{
    const UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
    {
        return GetLastError();
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size))
    {
        return GetLastError();
    }
    if (size.QuadPart > kMaxKeyFileBytes)
    {
        bytes.assign(kMaxKeyFileBytes + 1, '\0');
        return ERROR_SUCCESS;
    }
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD nRead = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &nRead, nullptr))
    {
        return GetLastError();
    }
    bytes.resize(nRead);
    return ERROR_SUCCESS;
}
} // namespace

bool SCReleaseSigningKey::TakePrivateBlob(const BYTE* pBlob, ULONG nBytes)
{
    BCRYPT_ECCKEY_BLOB header{};
    if (nBytes != kPrivateBlobBytes || SCReleasePublicKey::Provider() == nullptr)
    {
        return false;
    }
    std::memcpy(&header, pBlob, sizeof(header));
    if (header.dwMagic != BCRYPT_ECDSA_PRIVATE_P256_MAGIC || header.cbKey != 32)
    {
        return false;
    }
    UniqueBCryptKey hKey;
    const NTSTATUS status =
        BCryptImportKeyPair(SCReleasePublicKey::Provider(), nullptr, BCRYPT_ECCPRIVATE_BLOB,
                            hKey.put(), const_cast<PUCHAR>(pBlob), nBytes, 0);
    if (!BCRYPT_SUCCESS(status))
    {
        hKey.release();
        m_dwError = SCErrorFromBCryptStatus(status);
        return false;
    }
    SCReleasePublicKey::Coordinate x{};
    SCReleasePublicKey::Coordinate y{};
    std::memcpy(x.data(), pBlob + sizeof(header), x.size());
    std::memcpy(y.data(), pBlob + sizeof(header) + x.size(), y.size());
    SCReleasePublicKey key;
    if (!key.SetPoint(x, y))
    {
        m_dwError = ERROR_INVALID_DATA;
        return false;
    }
    m_hKey = std::move(hKey);
    m_public = key;
    return true;
}

DWORD SCReleaseSigningKey::Generate()
{
    m_hKey.reset();
    m_public = SCReleasePublicKey();
    if (SCReleasePublicKey::Provider() == nullptr)
    {
        return SCErrorFromBCryptStatus(SCReleasePublicKey::ProviderStatus());
    }
    UniqueBCryptKey hPair;
    NTSTATUS status = BCryptGenerateKeyPair(SCReleasePublicKey::Provider(), hPair.put(), 256, 0);
    if (BCRYPT_SUCCESS(status))
    {
        status = BCryptFinalizeKeyPair(hPair.get(), 0);
    }
    if (!BCRYPT_SUCCESS(status))
    {
        hPair.release();
        return SCErrorFromBCryptStatus(status);
    }
    // The key is kept as its blob says it: the same path as a key read from its file.
    SecretBytes blob(kPrivateBlobBytes);
    ULONG nBytes = 0;
    status = BCryptExportKey(hPair.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.bytes.data(),
                             kPrivateBlobBytes, &nBytes, 0);
    if (!BCRYPT_SUCCESS(status))
    {
        return SCErrorFromBCryptStatus(status);
    }
    m_dwError = ERROR_SUCCESS;
    return TakePrivateBlob(blob.bytes.data(), nBytes) ? ERROR_SUCCESS
           : m_dwError != ERROR_SUCCESS               ? m_dwError
                                                      : ERROR_INVALID_DATA;
}

DWORD SCReleaseSigningKey::Save(const std::wstring& strPath) const
{
    if (!m_hKey)
    {
        return ERROR_INVALID_HANDLE;
    }
    SecretBytes blob(kPrivateBlobBytes);
    ULONG nBytes = 0;
    const NTSTATUS status = BCryptExportKey(m_hKey.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB,
                                            blob.bytes.data(), kPrivateBlobBytes, &nBytes, 0);
    if (!BCRYPT_SUCCESS(status))
    {
        return SCErrorFromBCryptStatus(status);
    }
    DATA_BLOB plain{nBytes, blob.bytes.data()};
    SealedBlob sealed;
    // Sealed for this account: no prompt (the tool runs unattended), no machine-wide seal.
    if (!CryptProtectData(&plain, kSealDescription, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &sealed.blob))
    {
        return GetLastError();
    }
    std::string bytes(kKeyFileMagic);
    bytes.append(reinterpret_cast<const char*>(sealed.blob.pbData), sealed.blob.cbData);
    return WriteNewFile(strPath, bytes);
}

SCReleaseSigningKey::Stage SCReleaseSigningKey::Load(const std::wstring& strPath)
{
    m_hKey.reset();
    m_public = SCReleasePublicKey();
    m_dwError = ERROR_SUCCESS;
    std::string bytes;
    m_dwError = ReadSmallFile(strPath, bytes);
    if (m_dwError != ERROR_SUCCESS)
    {
        return Stage::Read;
    }
    if (bytes.size() > kMaxKeyFileBytes || !std::string_view(bytes).starts_with(kKeyFileMagic))
    {
        m_dwError = ERROR_INVALID_DATA;
        return Stage::NotAKey;
    }
    DATA_BLOB sealed{static_cast<DWORD>(bytes.size() - kKeyFileMagic.size()),
                     reinterpret_cast<BYTE*>(bytes.data() + kKeyFileMagic.size())};
    SealedBlob plain;
    plain.bSecret = true;
    if (!CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &plain.blob))
    {
        m_dwError = GetLastError();
        if (m_dwError == ERROR_SUCCESS)
        {
            m_dwError = ERROR_INVALID_DATA;
        }
        return Stage::Unprotect;
    }
    if (!TakePrivateBlob(plain.blob.pbData, plain.blob.cbData))
    {
        if (m_dwError == ERROR_SUCCESS)
        {
            m_dwError = ERROR_INVALID_DATA;
        }
        return Stage::Import;
    }
    return Stage::Loaded;
}

DWORD SCReleaseSigningKey::Sign(const SCSha256::Digest& digest,
                                SCReleasePublicKey::Signature& signature) const
{
    if (!m_hKey)
    {
        return ERROR_INVALID_HANDLE;
    }
    // The whole signature is 64 bytes, whatever a size query says (Wine's says 32).
    SCReleasePublicKey::Signature result{};
    ULONG nBytes = 0;
    const NTSTATUS status = BCryptSignHash(
        m_hKey.get(), nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
        result.data(), static_cast<ULONG>(result.size()), &nBytes, 0);
    if (!BCRYPT_SUCCESS(status))
    {
        return SCErrorFromBCryptStatus(status);
    }
    if (nBytes != result.size())
    {
        return ERROR_INVALID_DATA;
    }
    signature = result;
    return ERROR_SUCCESS;
}

DWORD SCReleaseSigningKey::SignRecord(std::wstring& strRecord, ULONGLONG nRelease,
                                      const SCReleasePublicKey* pNextKey) const
{
    if (!m_hKey)
    {
        return ERROR_INVALID_HANDLE;
    }
    std::wstring text = strRecord;
    text += SCReleaseRecord::FormatReleaseLine(nRelease, m_public.GetId());
    if (pNextKey != nullptr)
    {
        text += SCReleaseRecord::FormatNextKeyLines(*pNextKey);
    }
    SCSha256::Digest digest{};
    if (!SCSha256::HashBytes(text.data(), text.size() * sizeof(wchar_t), digest))
    {
        return ERROR_NOT_SUPPORTED;
    }
    SCReleasePublicKey::Signature signature{};
    const DWORD dwError = Sign(digest, signature);
    if (dwError != ERROR_SUCCESS)
    {
        return dwError;
    }
    text += SCReleaseRecord::FormatSignatureLines(signature);
    strRecord = std::move(text);
    return ERROR_SUCCESS;
}
