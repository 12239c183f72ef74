#include "lib/FileCopy.h"

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/Sha256.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace
{
// Each read and write moves this much: large enough that the calls cost little,
// small enough that a slow share still gives a sign of life every few seconds.
constexpr DWORD kPieceSize = 256 * 1024;
// Pieces in flight between the copy and its hasher.
constexpr size_t kPieces = 4;

// The attributes a copy takes from its source, as the system's copy does.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

DWORD LastErrorOrFailure() noexcept
{
    const DWORD dwError = GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

SCCopyResult Failure(DWORD dwError) noexcept
{
    SCCopyResult result;
    result.outcome = SCCopyOutcome::Failed;
    result.dwError = dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
    return result;
}

SCCopyResult Outcome(SCCopyOutcome outcome) noexcept
{
    SCCopyResult result;
    result.outcome = outcome;
    return result;
}

void Sign(std::atomic<ULONGLONG>& lastSign) noexcept
{
    lastSign.store(GetTickCount64());
}
} // namespace

// The system's slim lock and condition variable: a wait on them costs no call to
// Wine's server, unlike those of the C++ library, which are made of events there;
// a copy hands its hasher four of them a megabyte.
class SlimLock
{
public:
    void lock() noexcept { AcquireSRWLockExclusive(&m_lock); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&m_lock); }
    // Waits, the lock held, until pred holds.
    template <class Pred> void Wait(CONDITION_VARIABLE& condition, Pred pred) noexcept
    {
        while (!pred())
        {
            SleepConditionVariableSRW(&condition, &m_lock, INFINITE, 0);
        }
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// The pieces go round: free -> read and written by the copy -> queued -> hashed
// -> free. The copy waits only when all pieces are queued, the hasher only when
// none is.
class SCCopyHasher
{
public:
    SCCopyHasher() = default;
    ~SCCopyHasher()
    {
        {
            const std::lock_guard<SlimLock> lock(m_lock);
            m_bStop = true;
        }
        WakeAllConditionVariable(&m_queuedOne);
        if (m_thread.joinable())
        {
            m_thread.join();
        }
    }
    SCCopyHasher(const SCCopyHasher&) = delete;
    SCCopyHasher& operator=(const SCCopyHasher&) = delete;

    // The buffers and the thread; false when either cannot be had.
    bool Start() noexcept
    {
        try
        {
            m_storage.reset(new BYTE[kPieces * kPieceSize]);
            for (size_t n = 0; n < kPieces; ++n)
            {
                m_free.push_back(m_storage.get() + n * kPieceSize);
            }
            m_thread = std::thread([this] { HashPieces(); });
            return true;
        }
        catch (...)
        {
            return false;
        }
    }

    // A new digest; the hasher is idle (every piece free).
    bool Begin() noexcept
    {
        m_pDigest = std::make_unique<SCSha256>();
        m_bFailed = !m_pDigest->IsValid();
        m_dwError = m_pDigest->GetError();
        return !m_bFailed;
    }

    // A free piece for the copy to fill.
    BYTE* Acquire()
    {
        const std::lock_guard<SlimLock> lock(m_lock);
        m_lock.Wait(m_freedOne, [this] { return !m_free.empty(); });
        BYTE* const p = m_free.back();
        m_free.pop_back();
        return p;
    }

    // Hands a filled piece over for hashing.
    void Submit(BYTE* p, DWORD nBytes)
    {
        {
            const std::lock_guard<SlimLock> lock(m_lock);
            m_queued.push_back({p, nBytes});
        }
        WakeConditionVariable(&m_queuedOne);
    }

    // Gives a piece back unhashed (the copy failed before handing it over).
    void Return(BYTE* p)
    {
        {
            const std::lock_guard<SlimLock> lock(m_lock);
            m_free.push_back(p);
        }
        WakeConditionVariable(&m_freedOne);
    }

    // Waits until every piece handed over is hashed; the digest of them all.
    // ERROR_SUCCESS or the system's error.
    DWORD Finish(SCSha256::Digest& digest)
    {
        {
            const std::lock_guard<SlimLock> lock(m_lock);
            m_lock.Wait(m_freedOne, [this] { return m_free.size() == kPieces; });
        }
        if (m_bFailed || !m_pDigest->Finish(digest))
        {
            return m_dwError != ERROR_SUCCESS
                       ? m_dwError
                       : (m_pDigest->GetError() != ERROR_SUCCESS ? m_pDigest->GetError()
                                                                 : ERROR_GEN_FAILURE);
        }
        return ERROR_SUCCESS;
    }

private:
    struct Piece
    {
        BYTE* p;
        DWORD nBytes;
    };

    void HashPieces() noexcept
    {
        m_lock.lock();
        for (;;)
        {
            m_lock.Wait(m_queuedOne, [this] { return m_bStop || !m_queued.empty(); });
            if (m_queued.empty())
            {
                m_lock.unlock();
                return;
            }
            const Piece piece = m_queued.front();
            m_queued.pop_front();
            m_lock.unlock();
            // The digest is touched only here while pieces are queued, and only by the
            // copy once all of them are free again.
            if (!m_bFailed && !m_pDigest->Update(piece.p, piece.nBytes))
            {
                m_bFailed = true;
                m_dwError = m_pDigest->GetError();
            }
            m_lock.lock();
            m_free.push_back(piece.p);
            WakeConditionVariable(&m_freedOne);
        }
    }

    std::unique_ptr<BYTE[]> m_storage;
    std::unique_ptr<SCSha256> m_pDigest;
    bool m_bFailed = false;
    DWORD m_dwError = ERROR_SUCCESS;
    SlimLock m_lock;
    CONDITION_VARIABLE m_freedOne = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE m_queuedOne = CONDITION_VARIABLE_INIT;
    std::vector<BYTE*> m_free;
    std::deque<Piece> m_queued;
    bool m_bStop = false;
    std::thread m_thread;
};

// One copy between its Start and its Finish.
struct SCFileCopy::Slot
{
    std::unique_ptr<SCCopyHasher> pHasher;
    std::wstring strTemp;
    SCCopyResult result;
    // The digest the copy must have, once its hasher is done; with bPending its
    // result is Copied until then.
    bool bPending = false;
    SCSha256::Digest expected{};
};

SCFileCopy::SCFileCopy(bool bHashing) noexcept
{
    try
    {
        m_pPlain = std::make_unique<Slot>();
        // Two hashers on two cores: the SHA-256 of one file is taken piece after piece,
        // but two files hash at once, while the next one is read.
        const unsigned nHashers = bHashing ? std::clamp(std::thread::hardware_concurrency(), 1u, 2u) : 0u;
        for (unsigned n = 0; n < nHashers; ++n)
        {
            auto pSlot = std::make_unique<Slot>();
            pSlot->pHasher = std::make_unique<SCCopyHasher>();
            if (!pSlot->pHasher->Start())
            {
                break;
            }
            m_slots.push_back(std::move(pSlot));
        }
    }
    catch (...)
    {
        // Fewer hashers, or none: the copy hashes on its own thread.
    }
    m_pBuffer.reset(new (std::nothrow) BYTE[kPieceSize]);
}

SCFileCopy::~SCFileCopy() = default;

SCCopyResult SCFileCopy::Copy(const std::wstring& strSource, const std::wstring& strTemp,
                              const SCReleaseRecord::Item* pExpected,
                              std::atomic<ULONGLONG>& lastSign, const FILETIME* pStamp,
                              ULONGLONG nMaxBytes) noexcept
{
    Start(0, strSource, strTemp, pExpected, lastSign, pStamp, nMaxBytes);
    return Finish(0);
}

void SCFileCopy::Start(size_t nSlot, const std::wstring& strSource, const std::wstring& strTemp,
                       const SCReleaseRecord::Item* pExpected, std::atomic<ULONGLONG>& lastSign,
                       const FILETIME* pStamp, ULONGLONG nMaxBytes) noexcept
{
    Slot* const pSlot = nSlot < m_slots.size() ? m_slots[nSlot].get() : m_pPlain.get();
    if (pSlot == nullptr)
    {
        return;
    }
    Slot& slot = *pSlot;
    slot.bPending = false;
    try
    {
        slot.strTemp = strTemp;
        Sign(lastSign);
        SCReleaseFileInfo info;
        const UniqueFile source = SCOpenReleaseFile(strSource, info);
        if (!source)
        {
            slot.result = Failure(LastErrorOrFailure());
            return;
        }
        Sign(lastSign);
        if (pExpected != nullptr && info.nSize != pExpected->nSize)
        {
            // Not the file of the record, whatever its bytes: none is read.
            slot.result = Outcome(SCCopyOutcome::NotRelease);
            return;
        }
        if (info.nSize > nMaxBytes)
        {
            slot.result = Failure(ERROR_FILE_TOO_LARGE);
            return;
        }
        if (pStamp != nullptr)
        {
            info.ftLastWrite = *pStamp;
        }
        slot.result = CopyOpen(source.get(), info, slot, pExpected, lastSign);
        if (slot.result.outcome != SCCopyOutcome::Copied)
        {
            slot.bPending = false;
            SCDiscardFile(AfxLongPathForm(strTemp));
        }
    }
    catch (...)
    {
        slot.bPending = false;
        slot.result = Failure(ERROR_NOT_ENOUGH_MEMORY);
        SCDiscardFile(AfxLongPathForm(strTemp));
    }
}

SCCopyResult SCFileCopy::Finish(size_t nSlot) noexcept
{
    Slot* const pSlot = nSlot < m_slots.size() ? m_slots[nSlot].get() : m_pPlain.get();
    if (pSlot == nullptr)
    {
        return Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    Slot& slot = *pSlot;
    if (!slot.bPending)
    {
        return slot.result;
    }
    slot.bPending = false;
    SCSha256::Digest digest{};
    const DWORD dwHash = slot.pHasher->Finish(digest);
    SCCopyResult result = slot.result;
    if (dwHash != ERROR_SUCCESS)
    {
        result = Failure(dwHash);
    }
    else if (digest != slot.expected)
    {
        result = Outcome(SCCopyOutcome::NotRelease);
    }
    if (result.outcome != SCCopyOutcome::Copied)
    {
        SCDiscardFile(AfxLongPathForm(slot.strTemp));
    }
    return result;
}

SCCopyResult SCFileCopy::CopyOpen(HANDLE hSource, const SCReleaseFileInfo& info,
                                  Slot& slot, const SCReleaseRecord::Item* pExpected,
                                  std::atomic<ULONGLONG>& lastSign) noexcept
{
    SCCopyHasher* const pHasher = pExpected != nullptr ? slot.pHasher.get() : nullptr;
    BYTE* const pBuffer = m_pBuffer.get();
    if (pHasher == nullptr && pBuffer == nullptr)
    {
        return Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    UniqueFile temp = SCCreateStagedFile(slot.strTemp, info.dwAttributes);
    if (!temp)
    {
        return Failure(LastErrorOrFailure());
    }
    // Checked copies without a hasher hash on this thread.
    std::unique_ptr<SCSha256> pInline;
    if (pExpected != nullptr)
    {
        if (pHasher != nullptr)
        {
            if (!pHasher->Begin())
            {
                return Failure(ERROR_GEN_FAILURE);
            }
        }
        else
        {
            pInline = std::make_unique<SCSha256>();
            if (!pInline->IsValid())
            {
                return Failure(pInline->GetError());
            }
        }
    }
    SCCopyResult result;
    const ULONGLONG nSize = info.nSize;
    ULONGLONG nDone = 0;
    // A failure half-way still waits for the hasher to hand every piece back.
    bool bFailed = false;
    while (nDone < nSize && !bFailed)
    {
        BYTE* const p = pHasher != nullptr ? pHasher->Acquire() : pBuffer;
        const DWORD nWant = static_cast<DWORD>(std::min<ULONGLONG>(nSize - nDone, kPieceSize));
        DWORD nRead = 0;
        if (!ReadFile(hSource, p, nWant, &nRead, nullptr))
        {
            result = Failure(LastErrorOrFailure());
            bFailed = true;
        }
        else if (nRead == 0)
        {
            // Shorter than when it was opened: someone cut it while it was read.
            result = Outcome(SCCopyOutcome::Changed);
            bFailed = true;
        }
        Sign(lastSign);
        for (DWORD nWritten = 0; !bFailed && nWritten < nRead;)
        {
            DWORD n = 0;
            if (!WriteFile(temp.get(), p + nWritten, nRead - nWritten, &n, nullptr) || n == 0)
            {
                result = Failure(LastErrorOrFailure());
                bFailed = true;
                break;
            }
            nWritten += n;
        }
        Sign(lastSign);
        if (bFailed)
        {
            if (pHasher != nullptr)
            {
                pHasher->Return(p);
            }
            break;
        }
        if (pHasher != nullptr)
        {
            pHasher->Submit(p, nRead);
        }
        else if (pInline != nullptr && !pInline->Update(p, nRead))
        {
            result = Failure(pInline->GetError());
            bFailed = true;
        }
        nDone += nRead;
    }
    if (bFailed)
    {
        if (pHasher != nullptr)
        {
            // Every piece back before the slot serves another copy.
            SCSha256::Digest ignored{};
            pHasher->Finish(ignored);
        }
        return result;
    }
    if (pInline != nullptr)
    {
        SCSha256::Digest digest{};
        if (!pInline->Finish(digest))
        {
            return Failure(pInline->GetError());
        }
        if (digest != pExpected->digest)
        {
            return Outcome(SCCopyOutcome::NotRelease);
        }
    }
    // The copy carries the source's time, as the system's copy does: a client list
    // made after the update records the release's stamps.
    if (!SetFileTime(temp.get(), nullptr, nullptr, &info.ftLastWrite))
    {
        result = Failure(LastErrorOrFailure());
    }
    else if (!CloseHandle(temp.release()))
    {
        result = Failure(LastErrorOrFailure());
    }
    else
    {
        result = Outcome(SCCopyOutcome::Copied);
        result.nBytes = nDone;
        result.nShareBytes = nDone;
    }
    if (pHasher != nullptr)
    {
        // The digest is the hasher's to finish while the next file is read.
        slot.expected = pExpected->digest;
        slot.bPending = result.outcome == SCCopyOutcome::Copied;
        if (!slot.bPending)
        {
            SCSha256::Digest ignored{};
            pHasher->Finish(ignored);
        }
    }
    return result;
}

UniqueFile SCOpenReleaseFile(const std::wstring& strSource, SCReleaseFileInfo& info) noexcept
{
    try
    {
        UniqueFile source(CreateFileW(AfxLongPathForm(strSource).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!source)
        {
            return source;
        }
        // Asked of the open file alone: the whole information by handle also wants
        // the volume's serial, and Wine finds the volume by asking the share for
        // every folder above the file, each a round trip on a slow line.
        FILE_BASIC_INFO basic{};
        LARGE_INTEGER size{};
        if (!GetFileInformationByHandleEx(source.get(), FileBasicInfo, &basic, sizeof basic) ||
            !GetFileSizeEx(source.get(), &size))
        {
            const DWORD dwError = LastErrorOrFailure();
            source.reset();
            SetLastError(dwError);
            return source;
        }
        info.dwAttributes = basic.FileAttributes & kCopiedAttributes;
        info.nSize = static_cast<ULONGLONG>(size.QuadPart);
        info.ftLastWrite.dwLowDateTime = static_cast<DWORD>(basic.LastWriteTime.LowPart);
        info.ftLastWrite.dwHighDateTime = static_cast<DWORD>(basic.LastWriteTime.HighPart);
        return source;
    }
    catch (...)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return UniqueFile();
    }
}

UniqueFile SCCreateStagedFile(const std::wstring& strTemp, DWORD dwAttributes) noexcept
{
    try
    {
        return UniqueFile(CreateFileW(AfxLongPathForm(strTemp).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS,
                                      (dwAttributes != 0 ? dwAttributes : FILE_ATTRIBUTE_NORMAL) |
                                          FILE_FLAG_SEQUENTIAL_SCAN,
                                      nullptr));
    }
    catch (...)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return UniqueFile();
    }
}

void SCDiscardFile(const std::wstring& strPath) noexcept
{
    SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(strPath.c_str());
}
