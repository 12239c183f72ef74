#pragma once
// The weak checksum of a block index (lib/BlockIndex.h): a sum over a window of
// bytes that moves one byte along in a few operations, so that the copy can look
// for every block of a release file at every offset of the installed file.
//
// The sum of bytes c[0..n) is  S = sum of T[c[i]] * B^(n-1-i)  modulo 2^64, and the
// checksum is its upper 32 bits (they depend on every byte; the lower bits do not
// mix). T[c] is SplitMix64 of c, B the odd constant below. Both are part of the
// index's format: a publisher and its clients must agree on them for ever.

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace rolling_sum
{
constexpr uint64_t kBase = 0x9E3779B97F4A7C15ull;

constexpr uint64_t SplitMix64(uint64_t x) noexcept
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

constexpr std::array<uint64_t, 256> MakeTable() noexcept
{
    std::array<uint64_t, 256> table{};
    for (size_t c = 0; c < table.size(); ++c)
    {
        table[c] = SplitMix64(c);
    }
    return table;
}

inline constexpr std::array<uint64_t, 256> kTable = MakeTable();

constexpr uint64_t Power(size_t n) noexcept
{
    uint64_t result = 1;
    for (uint64_t base = kBase; n != 0; n >>= 1, base *= base)
    {
        if ((n & 1) != 0)
        {
            result *= base;
        }
    }
    return result;
}
} // namespace rolling_sum

class SCRollingSum
{
public:
    // A window of nWindow bytes (at least 1).
    explicit SCRollingSum(size_t nWindow) noexcept : m_outFactor(rolling_sum::Power(nWindow - 1)) {}

    // The sum of the window that starts at p.
    void Reset(const BYTE* p, size_t nWindow) noexcept
    {
        m_sum = 0;
        for (size_t i = 0; i < nWindow; ++i)
        {
            m_sum = m_sum * rolling_sum::kBase + rolling_sum::kTable[p[i]];
        }
    }
    // The window moves one byte on: out leaves it at the front, in joins at the end.
    void Roll(BYTE out, BYTE in) noexcept
    {
        m_sum = (m_sum - rolling_sum::kTable[out] * m_outFactor) * rolling_sum::kBase +
                rolling_sum::kTable[in];
    }
    uint32_t Value() const noexcept { return static_cast<uint32_t>(m_sum >> 32); }

    // The checksum of n bytes at once.
    static uint32_t Of(const BYTE* p, size_t n) noexcept
    {
        SCRollingSum sum(n == 0 ? 1 : n);
        sum.Reset(p, n);
        return sum.Value();
    }

private:
    uint64_t m_outFactor;
    uint64_t m_sum = 0;
};
