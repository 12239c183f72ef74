#pragma once
// The copy of one file from the release into a temporary file beside its
// destination, by the system's own read and write calls, so that what it gives
// is the whole file or a failure:
// - the source is opened so that nobody may write it while it is read, and its
//   size is taken from the open file: the copy holds exactly that many bytes;
// - a read that fails, or ends before that size, fails the copy (some systems'
//   CopyFileW stop at the first failed read and report success, leaving a short
//   file with the source's time stamp, which no later comparison of stamps
//   would ever replace);
// - with a release record's line, the size is checked before any byte is read,
//   and the SHA-256 is taken of the bytes as they pass, on a second thread, so
//   the file is never read twice;
// - every read and write is a sign of life for a caller that waits with a
//   deadline (AfxRunWithDeadline).

#include "framework/AfxHandle.h"
#include "lib/ReleaseRecord.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// How a copy ended.
enum class SCCopyOutcome
{
    Copied,     // the temporary file holds the whole source
    Failed,     // the system refused (dwError says why)
    NotRelease, // the file is not the one the release record describes
    Changed,    // the source ended before its size: it changed while it was read
};

struct SCCopyResult
{
    SCCopyOutcome outcome = SCCopyOutcome::Failed;
    DWORD dwError = ERROR_SUCCESS;
    // Copied: the file's size, and the bytes read from the share for it.
    ULONGLONG nBytes = 0;
    ULONGLONG nShareBytes = 0;
};

// What a copy takes from its open source: the attributes the copy gets (those the
// system's copy carries over), the size and the last-write time.
struct SCReleaseFileInfo
{
    DWORD dwAttributes = 0;
    ULONGLONG nSize = 0;
    FILETIME ftLastWrite{};
};
// Opens a release file for a copy: nobody may write it while it is read (a file the
// administrator is still copying into the release is refused, not copied half-way);
// it may be renamed or replaced meanwhile, and the copy then reads the file it
// opened. An invalid handle on failure (GetLastError says why).
UniqueFile SCOpenReleaseFile(const std::wstring& strSource, SCReleaseFileInfo& info) noexcept;
// Makes the temporary file a copy is written into (anew, or emptied), with the
// attributes the copy takes. An invalid handle on failure (GetLastError says why).
UniqueFile SCCreateStagedFile(const std::wstring& strTemp, DWORD dwAttributes) noexcept;

// Hashes the pieces a copy hands it on a thread of its own, while the copy reads
// and writes the next ones (and the next file). One hasher serves one copy at a time.
class SCCopyHasher;

class SCFileCopy
{
public:
    // A copier with its buffers; with bHashing, hasher threads too (for copies
    // checked against a release record). Never throws: without memory or threads
    // it copies with one buffer and hashes on its own thread.
    explicit SCFileCopy(bool bHashing) noexcept;
    ~SCFileCopy();
    SCFileCopy(const SCFileCopy&) = delete;
    SCFileCopy& operator=(const SCFileCopy&) = delete;

    // Copies strSource into strTemp (made anew, or emptied), with the source's
    // attributes and last-write time (or pStamp, when given: a signed release's).
    // pExpected: the record's line, or null when the copy is not checked. A source
    // larger than nMaxBytes is not copied (ERROR_FILE_TOO_LARGE). lastSign gets
    // GetTickCount64() after each piece. On any outcome but Copied the temporary
    // file is gone.
    SCCopyResult Copy(const std::wstring& strSource, const std::wstring& strTemp,
                      const SCReleaseRecord::Item* pExpected, std::atomic<ULONGLONG>& lastSign,
                      const FILETIME* pStamp = nullptr, ULONGLONG nMaxBytes = ~0ull) noexcept;

    // The same in two steps, so that the next file is read while the hash of this
    // one is finished on a hasher of its own: Start reads and writes the whole file
    // into its slot (a slot holds one copy from its Start to its Finish), Finish
    // gives the final outcome. Slots() copies may be under way at once.
    size_t Slots() const noexcept { return m_slots.empty() ? 1 : m_slots.size(); }
    void Start(size_t nSlot, const std::wstring& strSource, const std::wstring& strTemp,
               const SCReleaseRecord::Item* pExpected, std::atomic<ULONGLONG>& lastSign,
               const FILETIME* pStamp = nullptr, ULONGLONG nMaxBytes = ~0ull) noexcept;
    SCCopyResult Finish(size_t nSlot) noexcept;

private:
    struct Slot;
    SCCopyResult CopyOpen(HANDLE hSource, const SCReleaseFileInfo& info, Slot& slot,
                          const SCReleaseRecord::Item* pExpected,
                          std::atomic<ULONGLONG>& lastSign) noexcept;

    std::vector<std::unique_ptr<Slot>> m_slots;
    // The slot of copies without hashers.
    std::unique_ptr<Slot> m_pPlain;
    // The one buffer of copies that are not checked, or checked without a hasher.
    std::unique_ptr<BYTE[]> m_pBuffer;
};

// Removes a file whatever its attributes; failures are ignored.
void SCDiscardFile(const std::wstring& strPath) noexcept;
