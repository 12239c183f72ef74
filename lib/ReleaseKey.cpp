// The public side of the release key: the text form, the id, and the check of
// a signature. The client links only this side.
#include "lib/ReleaseKey.h"

#include <cstring>

namespace
{
struct Provider
{
    UniqueBCryptAlgorithm hAlgorithm;
    NTSTATUS status = 0;
};

// Opened once: each verification and each key of the process uses it.
const Provider& TheProvider() noexcept
{
    static const Provider s_provider = []
    {
        Provider provider;
        provider.status = BCryptOpenAlgorithmProvider(provider.hAlgorithm.put(),
                                                      BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
        if (!BCRYPT_SUCCESS(provider.status))
        {
            provider.hAlgorithm.release();
        }
        return provider;
    }();
    return s_provider;
}

constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

int HexValue(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f')
    {
        return c - L'a' + 10;
    }
    return -1;
}

// CNG's public blob of a P-256 key: the header, then X and Y.
struct PublicBlob
{
    BCRYPT_ECCKEY_BLOB header;
    BYTE point[64];
};
} // namespace

BCRYPT_ALG_HANDLE SCReleasePublicKey::Provider() noexcept
{
    return TheProvider().hAlgorithm.get();
}

NTSTATUS SCReleasePublicKey::ProviderStatus() noexcept
{
    return TheProvider().status;
}

UniqueBCryptKey SCReleasePublicKey::Import() const noexcept
{
    UniqueBCryptKey hKey;
    if (Provider() == nullptr)
    {
        return hKey;
    }
    PublicBlob blob{};
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = static_cast<ULONG>(m_x.size());
    std::memcpy(blob.point, m_x.data(), m_x.size());
    std::memcpy(blob.point + m_x.size(), m_y.data(), m_y.size());
    const NTSTATUS status =
        BCryptImportKeyPair(Provider(), nullptr, BCRYPT_ECCPUBLIC_BLOB, hKey.put(),
                            reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0);
    if (!BCRYPT_SUCCESS(status))
    {
        hKey.release();
    }
    return hKey;
}

bool SCReleasePublicKey::SetPoint(const Coordinate& x, const Coordinate& y)
{
    m_x = x;
    m_y = y;
    m_bValid = true;
    if (!Import())
    {
        *this = SCReleasePublicKey();
        return false;
    }
    BYTE point[64];
    std::memcpy(point, m_x.data(), m_x.size());
    std::memcpy(point + m_x.size(), m_y.data(), m_y.size());
    if (!SCSha256::HashBytes(point, sizeof(point), m_id))
    {
        *this = SCReleasePublicKey();
        return false;
    }
    return true;
}

SCReleasePublicKey::ParseError SCReleasePublicKey::Parse(std::wstring_view text)
{
    *this = SCReleasePublicKey();
    if (!text.starts_with(kTextPrefix))
    {
        return ParseError::NoPrefix;
    }
    const std::wstring_view digits = text.substr(kTextPrefix.size());
    if (digits.size() != 128)
    {
        return ParseError::Length;
    }
    BYTE point[64];
    for (size_t i = 0; i < sizeof(point); ++i)
    {
        const int nHigh = HexValue(digits[2 * i]);
        const int nLow = HexValue(digits[2 * i + 1]);
        if (nHigh < 0 || nLow < 0)
        {
            return ParseError::NotHex;
        }
        point[i] = static_cast<BYTE>(nHigh * 16 + nLow);
    }
    Coordinate x{};
    Coordinate y{};
    std::memcpy(x.data(), point, x.size());
    std::memcpy(y.data(), point + x.size(), y.size());
    return SetPoint(x, y) ? ParseError::None : ParseError::NotAPoint;
}

std::wstring SCReleasePublicKey::ToText() const
{
    std::wstring text(kTextPrefix);
    for (const Coordinate* pPart : {&m_x, &m_y})
    {
        for (const BYTE b : *pPart)
        {
            text += kHexDigits[b >> 4];
            text += kHexDigits[b & 0x0F];
        }
    }
    return text;
}

std::wstring SCReleasePublicKey::ShortId(const Id& id)
{
    return SCSha256::ToHex(id).substr(0, 16);
}

bool SCReleasePublicKey::Verify(const SCSha256::Digest& digest,
                                const Signature& signature) const noexcept
{
    if (!m_bValid)
    {
        return false;
    }
    const UniqueBCryptKey hKey = Import();
    if (!hKey)
    {
        return false;
    }
    const NTSTATUS status = BCryptVerifySignature(
        hKey.get(), nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
        const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0);
    return status == 0; // STATUS_SUCCESS, and nothing else
}
