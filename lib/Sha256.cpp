#include "lib/Sha256.h"

#include <algorithm>
#include <memory>
#include <new>

namespace
{
// The process's SHA-256 provider: opening one is costly, so it is opened once
// and serves every hash object (the provider may be shared between threads).
struct Provider
{
    UniqueBCryptAlgorithm hAlgorithm;
    NTSTATUS status = 0;
};

const Provider& TheProvider() noexcept
{
    static const Provider s_provider = []
    {
        Provider provider;
        provider.status = BCryptOpenAlgorithmProvider(provider.hAlgorithm.put(),
                                                      BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        if (!BCRYPT_SUCCESS(provider.status))
        {
            provider.hAlgorithm.release();
        }
        return provider;
    }();
    return s_provider;
}

constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

// Files are hashed in pieces of this size: large enough that the calls cost
// little, small enough to stay in the processor's caches.
constexpr DWORD kFileChunk = 256 * 1024;
} // namespace

DWORD SCErrorFromBCryptStatus(NTSTATUS status) noexcept
{
    switch (static_cast<ULONG>(status))
    {
    case 0xC0000017UL: // STATUS_NO_MEMORY
        return ERROR_NOT_ENOUGH_MEMORY;
    case 0xC0000008UL: // STATUS_INVALID_HANDLE
        return ERROR_INVALID_HANDLE;
    case 0xC000000DUL: // STATUS_INVALID_PARAMETER
        return ERROR_INVALID_PARAMETER;
    case 0xC00000BBUL: // STATUS_NOT_SUPPORTED
    case 0xC0000225UL: // STATUS_NOT_FOUND: no provider for the algorithm
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

SCSha256::SCSha256() noexcept
{
    const Provider& provider = TheProvider();
    if (!provider.hAlgorithm)
    {
        m_dwError = SCErrorFromBCryptStatus(provider.status);
        return;
    }
    // Without a buffer of ours the system keeps the hash object itself.
    const NTSTATUS status =
        BCryptCreateHash(provider.hAlgorithm.get(), m_hHash.put(), nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status))
    {
        m_hHash.release();
        m_dwError = SCErrorFromBCryptStatus(status);
    }
}

BOOL SCSha256::Update(const void* pData, size_t nBytes) noexcept
{
    if (!IsValid())
    {
        return FALSE;
    }
    auto* p = static_cast<PUCHAR>(const_cast<void*>(pData));
    while (nBytes > 0)
    {
        const ULONG nPiece = static_cast<ULONG>(std::min<size_t>(nBytes, 1u << 30));
        const NTSTATUS status = BCryptHashData(m_hHash.get(), p, nPiece, 0);
        if (!BCRYPT_SUCCESS(status))
        {
            m_dwError = SCErrorFromBCryptStatus(status);
            m_hHash.reset();
            return FALSE;
        }
        p += nPiece;
        nBytes -= nPiece;
    }
    return TRUE;
}

BOOL SCSha256::Finish(Digest& digest) noexcept
{
    if (!IsValid())
    {
        return FALSE;
    }
    const NTSTATUS status =
        BCryptFinishHash(m_hHash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    m_hHash.reset();
    if (!BCRYPT_SUCCESS(status))
    {
        m_dwError = SCErrorFromBCryptStatus(status);
        return FALSE;
    }
    return TRUE;
}

BOOL SCSha256::HashBytes(const void* pData, size_t nBytes, Digest& digest) noexcept
{
    SCSha256 hash;
    return hash.Update(pData, nBytes) && hash.Finish(digest) ? TRUE : FALSE;
}

DWORD SCSha256::HashOpenFile(HANDLE hFile, Digest& digest, ULONGLONG* pnBytes) noexcept
{
    SCSha256 hash;
    if (!hash.IsValid())
    {
        return hash.GetError();
    }
    const std::unique_ptr<BYTE[]> pBuffer(new (std::nothrow) BYTE[kFileChunk]);
    if (pBuffer == nullptr)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    ULONGLONG nTotal = 0;
    for (;;)
    {
        DWORD nRead = 0;
        if (!ReadFile(hFile, pBuffer.get(), kFileChunk, &nRead, nullptr))
        {
            const DWORD dwError = GetLastError();
            return dwError != ERROR_SUCCESS ? dwError : ERROR_READ_FAULT;
        }
        if (nRead == 0)
        {
            break;
        }
        if (!hash.Update(pBuffer.get(), nRead))
        {
            return hash.GetError();
        }
        nTotal += nRead;
    }
    if (!hash.Finish(digest))
    {
        return hash.GetError();
    }
    if (pnBytes != nullptr)
    {
        *pnBytes = nTotal;
    }
    return ERROR_SUCCESS;
}

std::wstring SCSha256::ToHex(const Digest& digest)
{
    std::wstring text;
    text.reserve(digest.size() * 2);
    for (const BYTE b : digest)
    {
        text += kHexDigits[b >> 4];
        text += kHexDigits[b & 0x0F];
    }
    return text;
}

bool SCSha256::FromHex(std::wstring_view text, Digest& digest) noexcept
{
    if (text.size() != digest.size() * 2)
    {
        return false;
    }
    const auto value = [](wchar_t c) -> int
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
    };
    Digest result{};
    for (size_t i = 0; i < result.size(); ++i)
    {
        const int nHigh = value(text[2 * i]);
        const int nLow = value(text[2 * i + 1]);
        if (nHigh < 0 || nLow < 0)
        {
            return false;
        }
        result[i] = static_cast<BYTE>(nHigh * 16 + nLow);
    }
    digest = result;
    return true;
}
