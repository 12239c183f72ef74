#include "lib/DeltaCopy.h"

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"
#include "lib/BlockIndex.h"
#include "lib/BlockMatch.h"
#include "lib/FileCopy.h"
#include "lib/Sha256.h"

#include <algorithm>
#include <memory>

namespace
{
// Reads of the share move this much at most, as the whole copy's do: a slow share
// still gives a sign of life every few seconds.
constexpr DWORD kSharePiece = 256 * 1024;
// Reads of the installed file and the writes move this much at most.
constexpr DWORD kLocalPiece = 1u << 20;

void Sign(std::atomic<ULONGLONG>& lastSign) noexcept
{
    lastSign.store(GetTickCount64());
}

DWORD LastErrorOrFailure() noexcept
{
    const DWORD dwError = GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

// Reads up to n bytes at nOffset of a file opened for synchronous reads; nRead is 0
// at the file's end.
bool ReadAt(HANDLE h, ULONGLONG nOffset, BYTE* p, DWORD n, DWORD& nRead, DWORD& dwError) noexcept
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(nOffset);
    at.OffsetHigh = static_cast<DWORD>(nOffset >> 32);
    nRead = 0;
    if (ReadFile(h, p, n, &nRead, &at))
    {
        return true;
    }
    dwError = LastErrorOrFailure();
    return dwError == ERROR_HANDLE_EOF;
}

// Exactly n bytes at nOffset; false when the file fails or ends before them.
bool ReadWhole(HANDLE h, ULONGLONG nOffset, BYTE* p, DWORD n) noexcept
{
    for (DWORD nDone = 0; nDone < n;)
    {
        DWORD nRead = 0;
        DWORD dwError = ERROR_SUCCESS;
        if (!ReadAt(h, nOffset + nDone, p + nDone, n - nDone, nRead, dwError) || nRead == 0)
        {
            return false;
        }
        nDone += nRead;
    }
    return true;
}

bool WriteWhole(HANDLE h, const BYTE* p, DWORD n) noexcept
{
    for (DWORD nDone = 0; nDone < n;)
    {
        DWORD nWritten = 0;
        if (!WriteFile(h, p + nDone, n - nDone, &nWritten, nullptr) || nWritten == 0)
        {
            return false;
        }
        nDone += nWritten;
    }
    return true;
}

// Reads the index the record names and keeps it when it is the index of the
// record's file; otherwise result says why not.
bool ReadIndex(const SCDeltaSource& source, SCBlockIndex& index, SCDeltaResult& result,
               std::atomic<ULONGLONG>& lastSign)
{
    const auto refuse = [&result]
    {
        result.outcome = SCDeltaOutcome::IndexRefused;
        return false;
    };
    const ULONGLONG nSize = source.index.nSize;
    if (nSize < SCBlockIndex::kHeaderBytes || nSize > kMaxBlockIndexBytes)
    {
        return refuse();
    }
    Sign(lastSign);
    const UniqueFile file(CreateFileW(AfxLongPathForm(source.strIndex).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size))
    {
        result.outcome = SCDeltaOutcome::IndexUnreadable;
        result.dwError = LastErrorOrFailure();
        return false;
    }
    Sign(lastSign);
    // Not one byte more than its line says.
    if (static_cast<ULONGLONG>(size.QuadPart) != nSize)
    {
        return refuse();
    }
    std::string bytes(static_cast<size_t>(nSize), '\0');
    for (size_t nDone = 0; nDone < bytes.size();)
    {
        const DWORD nWant = static_cast<DWORD>(std::min<size_t>(bytes.size() - nDone, kSharePiece));
        DWORD nRead = 0;
        if (!ReadFile(file.get(), bytes.data() + nDone, nWant, &nRead, nullptr))
        {
            result.outcome = SCDeltaOutcome::IndexUnreadable;
            result.dwError = LastErrorOrFailure();
            return false;
        }
        Sign(lastSign);
        result.nShareBytes += nRead;
        if (nRead == 0)
        {
            return refuse();
        }
        nDone += nRead;
    }
    SCSha256::Digest digest{};
    if (!SCSha256::HashBytes(bytes.data(), bytes.size(), digest) || digest != source.index.digest ||
        !index.Parse(bytes) || index.FileSize() != source.expected.nSize ||
        index.FileDigest() != source.expected.digest)
    {
        return refuse();
    }
    return true;
}

// Writes the release file into temp block after block, from the installed file
// where the scan found a block and from the share elsewhere, and hashes what it
// writes. False when a read or a write fails.
bool WriteBlocks(HANDLE hTemp, HANDLE hInstalled, HANDLE hShare, const SCBlockIndex& index,
                 const std::vector<ULONGLONG>& found, SCSha256& hash, ULONGLONG& nShareBytes,
                 std::atomic<ULONGLONG>& lastSign)
{
    const std::unique_ptr<BYTE[]> buffer(new BYTE[kLocalPiece]);
    const size_t nBlocks = found.size();
    for (size_t n = 0; n < nBlocks;)
    {
        // A run of blocks from one side, read in few calls: from the share the blocks
        // in a row that the installed file lacks, from the installed file those that
        // lie one after the other there too.
        const bool bLocal = found[n] != SCBlockMatch::kNotFound;
        ULONGLONG nFrom = bLocal ? found[n] : index.BlockOffset(n);
        ULONGLONG nLength = index.BlockLength(n);
        size_t nNext = n + 1;
        while (nNext < nBlocks && (found[nNext] != SCBlockMatch::kNotFound) == bLocal &&
               (!bLocal || found[nNext] == nFrom + nLength))
        {
            nLength += index.BlockLength(nNext++);
        }
        const DWORD nPiece = bLocal ? kLocalPiece : kSharePiece;
        while (nLength > 0)
        {
            const DWORD nWant = static_cast<DWORD>(std::min<ULONGLONG>(nLength, nPiece));
            if (!ReadWhole(bLocal ? hInstalled : hShare, nFrom, buffer.get(), nWant))
            {
                return false;
            }
            Sign(lastSign);
            if (!bLocal)
            {
                nShareBytes += nWant;
            }
            if (!WriteWhole(hTemp, buffer.get(), nWant) || !hash.Update(buffer.get(), nWant))
            {
                return false;
            }
            Sign(lastSign);
            nFrom += nWant;
            nLength -= nWant;
        }
        n = nNext;
    }
    return true;
}

// Builds the temporary file from the found blocks and the share: Built, NotRelease,
// or Whole when a read or a write failed (the whole copy then says why).
SCDeltaOutcome Build(const SCDeltaSource& source, const std::wstring& strTemp, HANDLE hInstalled,
                     const SCBlockIndex& index, const std::vector<ULONGLONG>& found,
                     ULONGLONG& nShareBytes, std::atomic<ULONGLONG>& lastSign,
                     const FILETIME* pStamp)
{
    SCReleaseFileInfo info;
    const UniqueFile share = SCOpenReleaseFile(source.strSource, info);
    Sign(lastSign);
    if (!share || info.nSize != source.expected.nSize)
    {
        return SCDeltaOutcome::Whole;
    }
    if (pStamp != nullptr)
    {
        info.ftLastWrite = *pStamp;
    }
    SCSha256 hash;
    UniqueFile temp = SCCreateStagedFile(strTemp, info.dwAttributes);
    if (!temp || !hash.IsValid())
    {
        return SCDeltaOutcome::Whole;
    }
    SCSha256::Digest digest{};
    const bool bWritten = WriteBlocks(temp.get(), hInstalled, share.get(), index, found, hash,
                                      nShareBytes, lastSign) &&
                          hash.Finish(digest);
    if (!bWritten || digest != source.expected.digest)
    {
        temp.reset();
        SCDiscardFile(AfxLongPathForm(strTemp));
        return bWritten ? SCDeltaOutcome::NotRelease : SCDeltaOutcome::Whole;
    }
    // The release file's time, as a whole copy carries it.
    if (!SetFileTime(temp.get(), nullptr, nullptr, &info.ftLastWrite) ||
        !CloseHandle(temp.release()))
    {
        temp.reset();
        SCDiscardFile(AfxLongPathForm(strTemp));
        return SCDeltaOutcome::Whole;
    }
    return SCDeltaOutcome::Built;
}
} // namespace

SCDeltaResult SCCopyFromBlocks(const SCDeltaSource& source, const std::wstring& strTemp,
                               std::atomic<ULONGLONG>& lastSign, const FILETIME* pStamp) noexcept
{
    SCDeltaResult result;
    try
    {
        // An installed version too small to hold a quarter of the file is not worth
        // the index's bytes.
        const UniqueFile installed(
            CreateFileW(AfxLongPathForm(source.strInstalled).c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER size{};
        if (!installed || !GetFileSizeEx(installed.get(), &size) ||
            static_cast<ULONGLONG>(size.QuadPart) < source.expected.nSize / 4)
        {
            return result;
        }
        SCBlockIndex index;
        if (!ReadIndex(source, index, result, lastSign))
        {
            return result;
        }
        SCBlockMatch match(index);
        const DWORD dwScan = match.Scan(
            [&installed](ULONGLONG nOffset, BYTE* p, DWORD n, DWORD& nRead, DWORD& dwError)
            { return ReadAt(installed.get(), nOffset, p, n, nRead, dwError); },
            static_cast<ULONGLONG>(size.QuadPart), [&lastSign] { Sign(lastSign); });
        // Mostly different: one read of the whole file costs the share less than
        // many reads of most of it.
        if (dwScan != ERROR_SUCCESS || match.FoundBytes() < source.expected.nSize / 4)
        {
            return result;
        }
        result.outcome = Build(source, strTemp, installed.get(), index, match.Found(),
                               result.nShareBytes, lastSign, pStamp);
        if (result.outcome == SCDeltaOutcome::Built)
        {
            result.nBytes = source.expected.nSize;
        }
    }
    catch (...)
    {
        // Out of memory: copied whole (over what may have been begun).
        result.outcome = SCDeltaOutcome::Whole;
    }
    return result;
}
