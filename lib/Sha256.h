#pragma once
// SHA-256 through the system's own cryptography (CNG): the digest of bytes in
// memory and of whole files, and its text form (64 lower-case hex digits). The
// algorithm provider is opened once per process, on first use; each digest has
// a hash object of its own.

#include "framework/AfxHandle.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// The system error code for a status the CNG calls give back (ERROR_GEN_FAILURE
// for one it has no code for).
DWORD SCErrorFromBCryptStatus(NTSTATUS status) noexcept;

class SCSha256
{
public:
    using Digest = std::array<BYTE, 32>;

    // A fresh computation; IsValid tells whether the system gave a hash object
    // (GetError why not).
    SCSha256() noexcept;
    SCSha256(const SCSha256&) = delete;
    SCSha256& operator=(const SCSha256&) = delete;

    bool IsValid() const noexcept { return m_hHash.valid(); }
    // Adds bytes; FALSE (and nothing more accepted) when the system refuses.
    BOOL Update(const void* pData, size_t nBytes) noexcept;
    // The digest of everything added; the object is spent afterwards.
    BOOL Finish(Digest& digest) noexcept;
    // The system error code of the first failure; ERROR_SUCCESS while none.
    DWORD GetError() const noexcept { return m_dwError; }

    // The digest of bytes in memory; FALSE when the system cannot hash.
    static BOOL HashBytes(const void* pData, size_t nBytes, Digest& digest) noexcept;
    // Reads an open file from its current position to its end into a digest
    // and counts the bytes. ERROR_SUCCESS or the system's error code.
    static DWORD HashOpenFile(HANDLE hFile, Digest& digest, ULONGLONG* pnBytes) noexcept;

    static std::wstring ToHex(const Digest& digest);
    // Exactly 64 lower-case hex digits; false for anything else.
    static bool FromHex(std::wstring_view text, Digest& digest) noexcept;

private:
    UniqueBCryptHash m_hHash;
    DWORD m_dwError = ERROR_SUCCESS;
};
