#include "lib/BlockIndex.h"

#include "lib/RollingSum.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace
{
constexpr char kMagic[8] = {'Q', 'V', 'S', 'B', 'L', 'K', 'I', 'X'};
constexpr uint32_t kFormat = 1;
// A publisher reads the file in pieces of this many blocks' bytes at least.
constexpr DWORD kReadPiece = 1u << 20;

void PutU32(std::string& out, uint32_t n)
{
    for (int i = 0; i < 4; ++i)
    {
        out += static_cast<char>((n >> (8 * i)) & 0xFF);
    }
}

void PutU64(std::string& out, uint64_t n)
{
    PutU32(out, static_cast<uint32_t>(n));
    PutU32(out, static_cast<uint32_t>(n >> 32));
}

uint32_t GetU32(const BYTE* p) noexcept
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t GetU64(const BYTE* p) noexcept
{
    return static_cast<uint64_t>(GetU32(p)) | static_cast<uint64_t>(GetU32(p + 4)) << 32;
}

bool IsBlockSize(uint32_t n) noexcept
{
    return n >= SCBlockIndex::kMinBlockSize && n <= SCBlockIndex::kMaxBlockSize &&
           (n & (n - 1)) == 0;
}
} // namespace

DWORD SCBlockIndex::BlockSizeFor(ULONGLONG nFileSize) noexcept
{
    // At most some 16,000 blocks a file, never smaller than 2 KB: a recompiled module
    // keeps more of its bytes in small blocks, a large data file loses little to the
    // index (1 % of a file of up to 32 MB, 0.5 % of one of 64 MB), and a change of a
    // few bytes costs the share a few kilobytes. (bench/README.md: the block sizes
    // measured.)
    DWORD nBlockSize = 2u << 10;
    while (nBlockSize < kMaxBlockSize && nFileSize / nBlockSize > 16384)
    {
        nBlockSize <<= 1;
    }
    return nBlockSize;
}

ULONGLONG SCBlockIndex::IndexBytes(ULONGLONG nFileSize, DWORD nBlockSize) noexcept
{
    const ULONGLONG nBlocks = nBlockSize == 0 ? 0 : (nFileSize + nBlockSize - 1) / nBlockSize;
    return kHeaderBytes + nBlocks * kEntryBytes;
}

bool SCBlockIndex::StrongOf(const BYTE* p, size_t n, Strong& strong) noexcept
{
    SCSha256::Digest digest{};
    if (!SCSha256::HashBytes(p, n, digest))
    {
        return false;
    }
    std::copy(digest.begin(), digest.begin() + kStrongBytes, strong.begin());
    return true;
}

std::wstring SCBlockIndex::FileName(const SCSha256::Digest& fileDigest)
{
    return SCSha256::ToHex(fileDigest) + kBlockIndexExtension;
}

DWORD SCBlockIndex::BlockLength(size_t nBlock) const noexcept
{
    const ULONGLONG nOffset = BlockOffset(nBlock);
    return nOffset >= m_nFileSize
               ? 0
               : static_cast<DWORD>(std::min<ULONGLONG>(m_nBlockSize, m_nFileSize - nOffset));
}

DWORD SCBlockIndex::Build(const ReadPiece& read, ULONGLONG nFileSize,
                          const SCSha256::Digest& fileDigest, DWORD nBlockSize)
{
    m_blocks.clear();
    if (!IsBlockSize(nBlockSize))
    {
        return ERROR_INVALID_PARAMETER;
    }
    m_nBlockSize = nBlockSize;
    m_nFileSize = nFileSize;
    m_fileDigest = fileDigest;
    try
    {
        m_blocks.reserve(static_cast<size_t>((nFileSize + nBlockSize - 1) / nBlockSize));
        const DWORD nPiece = std::max(nBlockSize, kReadPiece);
        const std::unique_ptr<BYTE[]> pBuffer(new BYTE[nPiece]);
        ULONGLONG nDone = 0;
        for (;;)
        {
            // A piece is filled whole (but at the file's end), so that it holds whole blocks.
            DWORD nFilled = 0;
            while (nFilled < nPiece)
            {
                DWORD nRead = 0;
                DWORD dwError = ERROR_SUCCESS;
                if (!read(pBuffer.get() + nFilled, nPiece - nFilled, nRead, dwError))
                {
                    return dwError != ERROR_SUCCESS ? dwError : ERROR_READ_FAULT;
                }
                if (nRead == 0)
                {
                    break;
                }
                nFilled += nRead;
            }
            if (nFilled == 0)
            {
                break;
            }
            if (nDone + nFilled > nFileSize)
            {
                return ERROR_FILE_INVALID;
            }
            for (DWORD nAt = 0; nAt < nFilled; nAt += nBlockSize)
            {
                const DWORD n = std::min(nBlockSize, nFilled - nAt);
                Block& block = m_blocks.emplace_back();
                block.weak = SCRollingSum::Of(pBuffer.get() + nAt, n);
                if (!StrongOf(pBuffer.get() + nAt, n, block.strong))
                {
                    return ERROR_GEN_FAILURE;
                }
            }
            nDone += nFilled;
            if (nFilled < nPiece)
            {
                break;
            }
        }
        if (nDone != nFileSize)
        {
            return ERROR_FILE_INVALID;
        }
        return ERROR_SUCCESS;
    }
    catch (const std::bad_alloc&)
    {
        m_blocks.clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD SCBlockIndex::BuildFromFile(HANDLE hFile, ULONGLONG nFileSize,
                                  const SCSha256::Digest& fileDigest, DWORD nBlockSize)
{
    return Build(
        [hFile](BYTE* p, DWORD nWant, DWORD& nRead, DWORD& dwError)
        {
            if (!ReadFile(hFile, p, nWant, &nRead, nullptr))
            {
                dwError = GetLastError();
                return false;
            }
            return true;
        },
        nFileSize, fileDigest, nBlockSize);
}

std::string SCBlockIndex::Format() const
{
    std::string out;
    out.reserve(static_cast<size_t>(IndexBytes(m_nFileSize, m_nBlockSize)));
    out.append(kMagic, sizeof kMagic);
    PutU32(out, kFormat);
    PutU32(out, m_nBlockSize);
    PutU64(out, m_nFileSize);
    out.append(reinterpret_cast<const char*>(m_fileDigest.data()), m_fileDigest.size());
    for (const Block& block : m_blocks)
    {
        PutU32(out, block.weak);
        out.append(reinterpret_cast<const char*>(block.strong.data()), block.strong.size());
    }
    return out;
}

bool SCBlockIndex::Parse(std::string_view bytes)
{
    m_blocks.clear();
    m_nBlockSize = 0;
    m_nFileSize = 0;
    m_fileDigest = {};
    const auto* p = reinterpret_cast<const BYTE*>(bytes.data());
    if (bytes.size() < kHeaderBytes || std::memcmp(p, kMagic, sizeof kMagic) != 0 ||
        GetU32(p + 8) != kFormat || !IsBlockSize(GetU32(p + 12)))
    {
        return false;
    }
    const DWORD nBlockSize = GetU32(p + 12);
    const ULONGLONG nFileSize = GetU64(p + 16);
    // The size first: a file size near 2^64 must not wrap the count.
    if (nFileSize > (kMaxBlockIndexBytes / kEntryBytes) * static_cast<ULONGLONG>(nBlockSize) ||
        IndexBytes(nFileSize, nBlockSize) != bytes.size())
    {
        return false;
    }
    try
    {
        const size_t nBlocks = (bytes.size() - kHeaderBytes) / kEntryBytes;
        m_blocks.resize(nBlocks);
        for (size_t n = 0; n < nBlocks; ++n)
        {
            const BYTE* const pEntry = p + kHeaderBytes + n * kEntryBytes;
            m_blocks[n].weak = GetU32(pEntry);
            std::memcpy(m_blocks[n].strong.data(), pEntry + 4, kStrongBytes);
        }
    }
    catch (const std::bad_alloc&)
    {
        m_blocks.clear();
        return false;
    }
    m_nBlockSize = nBlockSize;
    m_nFileSize = nFileSize;
    std::memcpy(m_fileDigest.data(), p + 24, m_fileDigest.size());
    return true;
}

const SCReleaseRecord::Item* SCFindBlockIndex(const SCReleaseRecord& record,
                                              const SCSha256::Digest& fileDigest)
{
    return record.Find(std::wstring(kBlockIndexRecordFolder), SCSha256::ToHex(fileDigest));
}
