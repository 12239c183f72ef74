#include "lib/BlockMatch.h"

#include "lib/RollingSum.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace
{
// The installed file is read in pieces of this size.
constexpr DWORD kScanPiece = 1u << 20;
// Filter bits per block: a window whose checksum is no block's passes the filter
// once in some 16 offsets at most.
constexpr size_t kFilterBitsPerBlock = 16;
} // namespace

SCBlockMatch::SCBlockMatch(const SCBlockIndex& index)
    : m_index(index), m_found(index.Blocks().size(), kNotFound)
{
    const std::vector<SCBlockIndex::Block>& blocks = index.Blocks();
    for (size_t n = 0; n < blocks.size(); ++n)
    {
        if (index.BlockLength(n) == index.BlockSize())
        {
            m_candidates.push_back({blocks[n].weak, static_cast<uint32_t>(n)});
        }
    }
    m_nLeft = m_candidates.size();
    std::sort(m_candidates.begin(), m_candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.weak < b.weak; });
    unsigned nBits = 16;
    while (nBits < 26 && (size_t{1} << nBits) < m_candidates.size() * kFilterBitsPerBlock)
    {
        ++nBits;
    }
    m_nFilterShift = 32 - nBits;
    m_filter.assign((size_t{1} << nBits) / 64, 0);
    for (const Candidate& candidate : m_candidates)
    {
        const uint32_t nBit = candidate.weak >> m_nFilterShift;
        m_filter[nBit >> 6] |= uint64_t{1} << (nBit & 63);
    }
}

ULONGLONG SCBlockMatch::FoundBytes() const noexcept
{
    ULONGLONG nBytes = 0;
    for (size_t n = 0; n < m_found.size(); ++n)
    {
        if (m_found[n] != kNotFound)
        {
            nBytes += m_index.BlockLength(n);
        }
    }
    return nBytes;
}

bool SCBlockMatch::Take(uint32_t weak, const BYTE* pWindow, ULONGLONG nOffset)
{
    const auto range =
        std::equal_range(m_candidates.begin(), m_candidates.end(), Candidate{weak, 0},
                         [](const Candidate& a, const Candidate& b) { return a.weak < b.weak; });
    if (range.first == range.second)
    {
        return false;
    }
    SCBlockIndex::Strong strong{};
    if (!SCBlockIndex::StrongOf(pWindow, m_index.BlockSize(), strong))
    {
        return false;
    }
    bool bTaken = false;
    for (auto it = range.first; it != range.second; ++it)
    {
        if (m_index.Blocks()[it->nBlock].strong == strong)
        {
            bTaken = true;
            if (m_found[it->nBlock] == kNotFound)
            {
                m_found[it->nBlock] = nOffset;
                --m_nLeft;
            }
        }
    }
    return bTaken;
}

DWORD SCBlockMatch::Scan(const ReadAt& read, ULONGLONG nSize, const std::function<void()>& onPiece)
{
    const DWORD nBlock = m_index.BlockSize();
    if (nBlock != 0 && nSize >= nBlock && m_nLeft > 0)
    {
        // buffer[0, nHeld) holds the installed file's bytes from nStart on.
        const size_t nCapacity = static_cast<size_t>(kScanPiece) + nBlock;
        const std::unique_ptr<BYTE[]> buffer(new BYTE[nCapacity]);
        ULONGLONG nStart = 0;
        size_t nHeld = 0;
        DWORD dwError = ERROR_SUCCESS;
        // Makes the buffer hold n bytes from nPos on (as many as the file has).
        const auto hold = [&](ULONGLONG nPos, size_t n)
        {
            const ULONGLONG nWanted = std::min(nPos + n, nSize);
            if (nStart + nHeld >= nWanted)
            {
                return true;
            }
            const size_t nKeep =
                nStart + nHeld > nPos ? static_cast<size_t>(nStart + nHeld - nPos) : 0;
            if (nKeep > 0)
            {
                std::memmove(buffer.get(), buffer.get() + (nPos - nStart), nKeep);
            }
            nStart = nPos;
            nHeld = nKeep;
            while (nStart + nHeld < nWanted)
            {
                const DWORD nWant = static_cast<DWORD>(
                    std::min<ULONGLONG>(nCapacity - nHeld, nSize - (nStart + nHeld)));
                DWORD nRead = 0;
                if (!read(nStart + nHeld, buffer.get() + nHeld, nWant, nRead, dwError))
                {
                    return false;
                }
                if (nRead == 0)
                {
                    // Shorter than it was: what is left cannot match.
                    nSize = nStart + nHeld;
                    return false;
                }
                nHeld += nRead;
                onPiece();
            }
            return true;
        };
        SCRollingSum sum(nBlock);
        ULONGLONG nPos = 0;
        bool bFresh = true;
        while (m_nLeft > 0 && nPos + nBlock <= nSize)
        {
            if (bFresh)
            {
                if (!hold(nPos, nBlock))
                {
                    break;
                }
                sum.Reset(buffer.get() + (nPos - nStart), nBlock);
                bFresh = false;
            }
            const uint32_t weak = sum.Value();
            if (MayHold(weak) && Take(weak, buffer.get() + (nPos - nStart), nPos))
            {
                nPos += nBlock;
                bFresh = true;
                continue;
            }
            if (nPos + nBlock >= nSize || !hold(nPos, size_t{nBlock} + 1))
            {
                break;
            }
            const BYTE* const p = buffer.get() + (nPos - nStart);
            sum.Roll(p[0], p[nBlock]);
            ++nPos;
        }
        if (dwError != ERROR_SUCCESS)
        {
            return dwError;
        }
    }
    TakeTail(read, nSize);
    return ERROR_SUCCESS;
}

void SCBlockMatch::TakeTail(const ReadAt& read, ULONGLONG nSize)
{
    if (m_found.empty())
    {
        return;
    }
    const size_t nTail = m_found.size() - 1;
    const DWORD nLength = m_index.BlockLength(nTail);
    if (nLength == m_index.BlockSize() || nLength == 0 || nLength > nSize)
    {
        return;
    }
    // Where a file that grew or changed in place keeps its end: at its own end, or
    // where the release has it.
    const ULONGLONG offsets[] = {nSize - nLength, m_index.BlockOffset(nTail)};
    std::vector<BYTE> bytes(nLength);
    for (const ULONGLONG nOffset : offsets)
    {
        DWORD nRead = 0;
        DWORD dwError = ERROR_SUCCESS;
        SCBlockIndex::Strong strong{};
        if (nOffset + nLength <= nSize && read(nOffset, bytes.data(), nLength, nRead, dwError) &&
            nRead == nLength &&
            SCRollingSum::Of(bytes.data(), nLength) == m_index.Blocks()[nTail].weak &&
            SCBlockIndex::StrongOf(bytes.data(), nLength, strong) &&
            strong == m_index.Blocks()[nTail].strong)
        {
            m_found[nTail] = nOffset;
            return;
        }
    }
}
