#pragma once
// The block index of a large release file: written by QVSMakeList beside the
// release record (tools/QVSMakeList/BlockIndexPublish.h), read by the copy to build
// a changed file from the blocks its installed version already holds
// (lib/DeltaCopy.h).
//
// Where: <release folder>\HotUpdateFileList_Server.blocks\<file's SHA-256>.blocks, one
// for each content of a listed file of kBlockIndexThreshold bytes or more. Neither
// QVSMakeList's walk nor any list names these files as files of the release.
// The record names each index by a line of a file's shape in a folder that no list
// can name (a list's folders begin with two backslashes):
//   ?blocks TAB TAB <file's SHA-256> TAB TAB <index size> TAB TAB <index SHA-256>
// These lines stand before the signed block, which so covers them, and clients that
// know nothing of indexes read them as lines of files they never copy. An index is
// used only when its bytes have the size and digest its line gives, and only
// within kMaxBlockIndexBytes.
//
// The index file, integers little-endian:
//   8 bytes   "QVSBLKIX"
//   4 bytes   format 1
//   4 bytes   block size: a power of two from kMinBlockSize to kMaxBlockSize
//   8 bytes   the file's size
//  32 bytes   the file's SHA-256 (the one the record gives for the file)
//   then for each block of the file in order, the last one shorter unless the
//   size is a multiple of the block size:
//   4 bytes   weak checksum (lib/RollingSum.h) of the block's bytes
//  16 bytes   strong digest: the first 16 bytes of the block's SHA-256
// Nothing else: a file of another size or shape is no index.

#include "lib/ReleaseRecord.h"
#include "lib/Sha256.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr wchar_t kBlockIndexFolder[] = L"HotUpdateFileList_Server.blocks";
inline constexpr wchar_t kBlockIndexExtension[] = L".blocks";
// The folder of the record's index lines.
inline constexpr std::wstring_view kBlockIndexRecordFolder = L"?blocks";
// Files this large or larger get an index.
inline constexpr ULONGLONG kBlockIndexThreshold = 1ull << 20;
// The largest index a client reads (that of a file of some 6 GB at 8 KB blocks).
inline constexpr ULONGLONG kMaxBlockIndexBytes = 16ull << 20;

class SCBlockIndex
{
public:
    static constexpr DWORD kMinBlockSize = 1u << 10;
    static constexpr DWORD kMaxBlockSize = 1u << 20;
    static constexpr size_t kStrongBytes = 16;
    static constexpr size_t kHeaderBytes = 8 + 4 + 4 + 8 + 32;
    static constexpr size_t kEntryBytes = 4 + kStrongBytes;

    using Strong = std::array<BYTE, kStrongBytes>;
    struct Block
    {
        uint32_t weak = 0;
        Strong strong{};
    };

    // The block size a publisher gives a file of this size.
    static DWORD BlockSizeFor(ULONGLONG nFileSize) noexcept;
    // The size of the index of a file of this size at this block size.
    static ULONGLONG IndexBytes(ULONGLONG nFileSize, DWORD nBlockSize) noexcept;
    // The strong digest of a block's bytes; false when the system cannot hash.
    static bool StrongOf(const BYTE* p, size_t n, Strong& strong) noexcept;
    // "<SHA-256 in hex>.blocks": the index file of a file of this content.
    static std::wstring FileName(const SCSha256::Digest& fileDigest);

    DWORD BlockSize() const noexcept { return m_nBlockSize; }
    ULONGLONG FileSize() const noexcept { return m_nFileSize; }
    const SCSha256::Digest& FileDigest() const noexcept { return m_fileDigest; }
    const std::vector<Block>& Blocks() const noexcept { return m_blocks; }
    ULONGLONG BlockOffset(size_t nBlock) const noexcept
    {
        return static_cast<ULONGLONG>(nBlock) * m_nBlockSize;
    }
    DWORD BlockLength(size_t nBlock) const noexcept;

    // Reads pieces from read (which gives the bytes read, 0 at the end, or false on
    // failure with the system's code in dwError) and makes the index of a file of
    // nFileSize bytes whose SHA-256 the record gives. ERROR_SUCCESS; the system's
    // code; ERROR_FILE_INVALID when the file holds another number of bytes.
    using ReadPiece = std::function<bool(BYTE* p, DWORD nWant, DWORD& nRead, DWORD& dwError)>;
    DWORD Build(const ReadPiece& read, ULONGLONG nFileSize, const SCSha256::Digest& fileDigest,
                DWORD nBlockSize);
    // The same from an open file, read from its current position.
    DWORD BuildFromFile(HANDLE hFile, ULONGLONG nFileSize, const SCSha256::Digest& fileDigest,
                        DWORD nBlockSize);

    // The index file's bytes.
    std::string Format() const;
    // True when the bytes are an index of the format above; otherwise the index is empty.
    bool Parse(std::string_view bytes);

private:
    DWORD m_nBlockSize = 0;
    ULONGLONG m_nFileSize = 0;
    SCSha256::Digest m_fileDigest{};
    std::vector<Block> m_blocks;
};

// The record's line of the index of a file of this content; null when it names none.
const SCReleaseRecord::Item* SCFindBlockIndex(const SCReleaseRecord& record,
                                              const SCSha256::Digest& fileDigest);
