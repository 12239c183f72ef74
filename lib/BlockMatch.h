#pragma once
// Which blocks of a release file its installed version already holds, at any
// offset: the installed file is read once, start to end, and at every offset the
// weak checksum of the block-sized window there (lib/RollingSum.h) is looked up
// among the index's blocks; only a weak match costs the window's strong digest. A
// window that matches a block is taken whole and the scan goes on behind it, so
// that a block-sized run of bytes serves at most once per scan (an insertion, a
// change in place or bytes appended leave every block around them found). The
// index's last block, when it is shorter, is looked for at the installed file's
// end and at its own offset.

#include "lib/BlockIndex.h"

#include <windows.h>

#include <functional>
#include <vector>

class SCBlockMatch
{
public:
    static constexpr ULONGLONG kNotFound = ~0ull;

    // Reads n bytes at nOffset of the installed file; the bytes read (fewer only at
    // its end), or false with the system's code in dwError.
    using ReadAt =
        std::function<bool(ULONGLONG nOffset, BYTE* p, DWORD n, DWORD& nRead, DWORD& dwError)>;

    explicit SCBlockMatch(const SCBlockIndex& index);

    // Scans an installed file of nSize bytes; onPiece is called after each piece
    // read (a sign of life for a caller with a deadline). ERROR_SUCCESS or the
    // system's code.
    DWORD Scan(const ReadAt& read, ULONGLONG nSize, const std::function<void()>& onPiece);

    // For each block of the index, an offset where the installed file holds its
    // bytes, or kNotFound.
    const std::vector<ULONGLONG>& Found() const noexcept { return m_found; }
    // The bytes of the release file that the found blocks hold.
    ULONGLONG FoundBytes() const noexcept;

private:
    struct Candidate
    {
        uint32_t weak;
        uint32_t nBlock;
    };
    // True when the window's bytes are one or more blocks: each gets nOffset.
    bool Take(uint32_t weak, const BYTE* pWindow, ULONGLONG nOffset);
    void TakeTail(const ReadAt& read, ULONGLONG nSize);
    bool MayHold(uint32_t weak) const noexcept
    {
        const uint32_t nBit = weak >> m_nFilterShift;
        return (m_filter[nBit >> 6] >> (nBit & 63) & 1) != 0;
    }

    const SCBlockIndex& m_index;
    // The full-size blocks by weak checksum, and a filter of one bit per checksum
    // prefix that most windows are turned away by.
    std::vector<Candidate> m_candidates;
    std::vector<uint64_t> m_filter;
    unsigned m_nFilterShift = 32;
    std::vector<ULONGLONG> m_found;
    size_t m_nLeft = 0; // full-size blocks not found yet
};
