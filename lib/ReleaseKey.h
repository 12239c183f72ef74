#pragma once
// The administrator's release key: ECDSA on the curve P-256 over SHA-256
// digests, through the system's own cryptography (CNG; it has no Ed25519).
//
// The public key is what every desktop trusts. Its text form is one line for
// QVS.ini, "ecdsa-p256:" and 128 lower-case hex digits of the point's X and Y
// (32 bytes each, big-endian, as CNG's public blob holds them); its id is the
// SHA-256 of those 64 bytes. A signature is 64 bytes, r then s.
//
// The private key is QVSMakeList's alone. Its file holds the key pair sealed
// with CryptProtectData for the Windows account that made it: another account,
// or the same account on another computer, cannot unseal it. The file begins
// with kKeyFileMagic so that a file of another kind is told apart from a key
// that cannot be unsealed.
//
// The public side (ReleaseKey.cpp) is all the client links; the private side
// (ReleaseSigningKey.cpp) is kept apart so that only the tool imports crypt32.

#include "framework/AfxHandle.h"
#include "lib/Sha256.h"

#include <windows.h>

#include <array>
#include <string>
#include <string_view>

class SCReleasePublicKey
{
public:
    using Coordinate = std::array<BYTE, 32>;
    using Signature = std::array<BYTE, 64>; // r || s, big-endian
    using Id = SCSha256::Digest;

    static constexpr std::wstring_view kTextPrefix = L"ecdsa-p256:";

    // Why a text is not a key.
    enum class ParseError
    {
        None,
        NoPrefix,  // does not begin with "ecdsa-p256:"
        Length,    // not exactly 128 digits after it
        NotHex,    // a character other than 0-9 and a-f
        NotAPoint, // the digits are no point of the curve
    };

    SCReleasePublicKey() = default;

    // Parses the text form strictly (no spaces, no upper case). The point is
    // checked by the system: the key is usable when ParseError::None comes back.
    ParseError Parse(std::wstring_view text);
    // Takes a point as a record names it; false when it is no point of the curve.
    bool SetPoint(const Coordinate& x, const Coordinate& y);

    bool IsValid() const noexcept { return m_bValid; }
    const Coordinate& X() const noexcept { return m_x; }
    const Coordinate& Y() const noexcept { return m_y; }
    std::wstring ToText() const;
    Id GetId() const noexcept { return m_id; }
    // The id as people compare it: its first 16 hex digits.
    std::wstring ShortId() const { return ShortId(m_id); }
    static std::wstring ShortId(const Id& id);

    // Whether signature is this key's signature of digest. Any refusal of the
    // system counts as "no" (Windows gives STATUS_INVALID_PARAMETER, not
    // STATUS_INVALID_SIGNATURE, for some malformed signatures).
    bool Verify(const SCSha256::Digest& digest, const Signature& signature) const noexcept;

    bool operator==(const SCReleasePublicKey& other) const noexcept
    {
        return m_bValid == other.m_bValid && m_x == other.m_x && m_y == other.m_y;
    }

    // The process's ECDSA P-256 provider, opened on first use; null when the
    // system has none (ProviderStatus says why).
    static BCRYPT_ALG_HANDLE Provider() noexcept;
    static NTSTATUS ProviderStatus() noexcept;
    // The key as a CNG handle; null when the system refuses it.
    UniqueBCryptKey Import() const noexcept;

private:
    bool m_bValid = false;
    Coordinate m_x{};
    Coordinate m_y{};
    Id m_id{};
};

// The private side: made, sealed, unsealed and used by QVSMakeList.
class SCReleaseSigningKey
{
public:
    // What a key file's reading came to.
    enum class Stage
    {
        Loaded,
        Read,      // the file cannot be read (GetError: the system's code)
        NotAKey,   // the file is no key file of this tool
        Unprotect, // the seal cannot be opened: another account, another computer, damage
        Import,    // unsealed, but the system does not take the key
    };

    static constexpr std::string_view kKeyFileMagic = "QVS release key 1\r\n";

    SCReleaseSigningKey() = default;
    SCReleaseSigningKey(const SCReleaseSigningKey&) = delete;
    SCReleaseSigningKey& operator=(const SCReleaseSigningKey&) = delete;

    // A new key pair. ERROR_SUCCESS or the system's code.
    DWORD Generate();
    // Writes the sealed key into a new file; ERROR_FILE_EXISTS when there is one.
    DWORD Save(const std::wstring& strPath) const;
    // Reads and unseals a key file; GetError tells the system's code.
    Stage Load(const std::wstring& strPath);
    DWORD GetError() const noexcept { return m_dwError; }

    bool IsValid() const noexcept { return m_hKey.valid(); }
    const SCReleasePublicKey& GetPublicKey() const noexcept { return m_public; }
    // Signs a digest. ERROR_SUCCESS or the system's code.
    DWORD Sign(const SCSha256::Digest& digest, SCReleasePublicKey::Signature& signature) const;

    // Adds the signed block to a release record's text (the record of the files,
    // without a block): the release line with this key's id, the next key's lines
    // when pNextKey is given, then the signature of all that. ERROR_SUCCESS or
    // the system's code (the text is then unchanged).
    DWORD SignRecord(std::wstring& strRecord, ULONGLONG nRelease,
                     const SCReleasePublicKey* pNextKey) const;

private:
    // Takes the key pair from CNG's private blob; false when the system refuses it.
    bool TakePrivateBlob(const BYTE* pBlob, ULONG nBytes);

    UniqueBCryptKey m_hKey;
    SCReleasePublicKey m_public;
    DWORD m_dwError = ERROR_SUCCESS;
};
