#pragma once
// Owners for Win32 handles. Each traits type names the value that means "no
// handle" for its API and the call that releases it; copying is deleted.

#include <windows.h>

#include <bcrypt.h>

#include <utility>

template <class Traits> class UniqueHandleT
{
public:
    using type = typename Traits::type;

    UniqueHandleT() noexcept : m_h(Traits::Invalid()) {}
    explicit UniqueHandleT(type h) noexcept : m_h(h) {}
    UniqueHandleT(const UniqueHandleT&) = delete;
    UniqueHandleT& operator=(const UniqueHandleT&) = delete;
    UniqueHandleT(UniqueHandleT&& other) noexcept : m_h(other.release()) {}
    UniqueHandleT& operator=(UniqueHandleT&& other) noexcept
    {
        if (this != &other)
        {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueHandleT() { reset(); }

    type get() const noexcept { return m_h; }
    bool valid() const noexcept { return m_h != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without releasing.
    type release() noexcept { return std::exchange(m_h, Traits::Invalid()); }

    void reset(type h = Traits::Invalid()) noexcept
    {
        const type old = std::exchange(m_h, h);
        if (old != Traits::Invalid())
        {
            Traits::Close(old);
        }
    }

    // For APIs that return the handle through a pointer.
    type* put() noexcept
    {
        reset();
        return &m_h;
    }

private:
    type m_h;
};

namespace handle_traits
{
struct File // CreateFileW: INVALID_HANDLE_VALUE on failure
{
    using type = HANDLE;
    static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(type h) noexcept { ::CloseHandle(h); }
};
struct Kernel // processes, threads, tokens, mutexes: null on failure
{
    using type = HANDLE;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type h) noexcept { ::CloseHandle(h); }
};
struct Find // FindFirstFileW: INVALID_HANDLE_VALUE on failure
{
    using type = HANDLE;
    static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(type h) noexcept { ::FindClose(h); }
};
struct Module
{
    using type = HMODULE;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type h) noexcept { ::FreeLibrary(h); }
};
struct Local // buffers the system allocates for us (FormatMessageW, CommandLineToArgvW)
{
    using type = HLOCAL;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type h) noexcept { ::LocalFree(h); }
};
struct ProcessHeap // blocks of the process heap
{
    using type = LPVOID;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
};
struct RegKey // RegOpenKeyExW: an open registry key; null when none was opened
{
    using type = HKEY;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type h) noexcept { ::RegCloseKey(h); }
};
struct BCryptAlgorithm // BCryptOpenAlgorithmProvider: a provider of one algorithm
{
    using type = BCRYPT_ALG_HANDLE;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct BCryptHash // BCryptCreateHash: one hash computation
{
    using type = BCRYPT_HASH_HANDLE;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type h) noexcept { ::BCryptDestroyHash(h); }
};
struct BCryptKey // BCryptGenerateKeyPair, BCryptImportKeyPair: one key or key pair
{
    using type = BCRYPT_KEY_HANDLE;
    static type Invalid() noexcept { return nullptr; }
    static void Close(type h) noexcept { ::BCryptDestroyKey(h); }
};
} // namespace handle_traits

using UniqueFile = UniqueHandleT<handle_traits::File>;
using UniqueKernelHandle = UniqueHandleT<handle_traits::Kernel>;
using UniqueFind = UniqueHandleT<handle_traits::Find>;
using UniqueModule = UniqueHandleT<handle_traits::Module>;
using UniqueLocal = UniqueHandleT<handle_traits::Local>;
using UniqueHeapBlock = UniqueHandleT<handle_traits::ProcessHeap>;
using UniqueRegKey = UniqueHandleT<handle_traits::RegKey>;
using UniqueBCryptAlgorithm = UniqueHandleT<handle_traits::BCryptAlgorithm>;
using UniqueBCryptHash = UniqueHandleT<handle_traits::BCryptHash>;
using UniqueBCryptKey = UniqueHandleT<handle_traits::BCryptKey>;
