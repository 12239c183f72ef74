#pragma once
// The release record: HotUpdateFileList_Server.sha256 beside the server list,
// written by QVSMakeList before the list. It names every listed file with its
// size and SHA-256 and belongs to one list: its first line is the SHA-256 of
// that list file's exact bytes. The copy checks each file against it before the
// file replaces an installed one.
//
// Format (the list's own encoding): UTF-16LE without BOM, every line ended by
// CR LF, hashes as 64 lower-case hex digits, sizes in decimal digits.
//   first line:  SHA-256 of the list file
//   then per file: folder TAB TAB name TAB TAB size TAB TAB SHA-256
// Folder and name are the list's own fields, code unit for code unit; neither
// may hold a TAB, CR, LF or NUL. A file is named at most once. Anything else
// makes the whole record unreadable: a record that cannot be parsed counts as
// absent.
//
// A signed record (QVSMakeList --sign) ends with a signed block: lines that a
// parser of unsigned records takes for files of a folder that no list can name
// (a list's folders begin with two backslashes), so that clients without these
// rules still read the record, and check the files against it, as before:
//   ?signed TAB TAB release TAB TAB <number> TAB TAB <signer's key id>
//   ?signed TAB TAB next-key-x TAB TAB 0 TAB TAB <X>   (only with a next key)
//   ?signed TAB TAB next-key-y TAB TAB 0 TAB TAB <Y>
//   ?signed TAB TAB signature-r TAB TAB 0 TAB TAB <r>
//   ?signed TAB TAB signature-s TAB TAB 0 TAB TAB <s>
// The number counts from 1 and grows with each signed release of the folder; the
// key id is the SHA-256 of the signing key's X and Y; the signature is ECDSA
// P-256 over the SHA-256 of the record's exact bytes before the signature-r line
// (list digest, file lines, release line and next key: everything it vouches
// for). These lines stand only at the end, in this order, each once, and are no
// files: a record that has them anywhere else, or only some of them, is unreadable.
//
// Before the signed block, lines of a file's shape in the folder ?blocks name the
// block indexes of large files (lib/BlockIndex.h). This parser reads them as the
// lines of files no list names, as every client before them did.

#include "lib/ReleaseKey.h"
#include "lib/Sha256.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

inline constexpr wchar_t kReleaseRecordName[] = L"HotUpdateFileList_Server.sha256";
// The largest record that is read: twice the largest list (a record's line holds
// a file's size and SHA-256 beside its list line).
inline constexpr ULONGLONG kMaxRecordBytes = 128ull << 20;

class SCReleaseRecord;
// Why a record that is neither loaded nor missing cannot be used, on one line:
// the system's words, or the program's for a record over kMaxRecordBytes.
std::wstring SCRecordProblem(const SCReleaseRecord& record);

class SCReleaseRecord
{
public:
    // What the record says of one file.
    struct Item
    {
        ULONGLONG nSize = 0;
        SCSha256::Digest digest{};
    };

    // What the signed block says.
    struct Signed
    {
        ULONGLONG nRelease = 0;
        SCReleasePublicKey::Id signerId{};
        bool bNextKey = false;
        SCReleasePublicKey nextKey; // valid when bNextKey
        SCReleasePublicKey::Signature signature{};
        // The SHA-256 of the bytes the signature is over.
        SCSha256::Digest signedDigest{};
    };

    // The folder of the signed block's lines.
    static constexpr std::wstring_view kSignedFolder = L"?signed";

    enum class State
    {
        Empty,     // nothing read yet
        Loaded,    // read, parsed, and (by LoadFor) belonging to the list
        Missing,   // no record file
        Unreadable, // the file or the list could not be read (GetError says why)
        Malformed, // not a record in the format above
        OtherList, // a record of another list than the one given
    };

    SCReleaseRecord() = default;
    SCReleaseRecord(const SCReleaseRecord&) = delete;
    SCReleaseRecord& operator=(const SCReleaseRecord&) = delete;

    // Reads the record file and keeps it only when it belongs to the list file
    // at strListPath (its first line is that file's SHA-256). TRUE when kept;
    // otherwise the record is empty and GetState says why.
    // pLastSign, when given, gets GetTickCount64() as the reading goes on, for a
    // caller that waits with a deadline on a share.
    BOOL LoadFor(const std::wstring& strRecordPath, const std::wstring& strListPath,
                 std::atomic<ULONGLONG>* pLastSign = nullptr);
    // Reads and parses a record file. TRUE when it is a record.
    BOOL Read(const std::wstring& strPath, std::atomic<ULONGLONG>* pLastSign = nullptr);
    // Parses a record's bytes. TRUE when they are a record; otherwise the
    // record is empty and Malformed.
    BOOL Parse(std::string_view bytes);
    BOOL ParseText(std::wstring_view text);

    State GetState() const noexcept { return m_state; }
    // The file Read read, as it was given: the release folder's block indexes lie
    // beside it.
    const std::wstring& GetPath() const noexcept { return m_strPath; }
    // The system error code behind Missing or Unreadable (ERROR_INVALID_DATA
    // for Malformed); ERROR_SUCCESS otherwise.
    DWORD GetError() const noexcept { return m_dwError; }
    bool BelongsTo(const SCSha256::Digest& listDigest) const noexcept
    {
        return m_state == State::Loaded && listDigest == m_listDigest;
    }
    size_t GetCount() const noexcept { return m_items.size(); }

    // The file's line, looked up by folder and name exactly as the list gives
    // them (code unit for code unit, case included: the record is written from
    // the list's own entries, and a release on a case-sensitive share may hold
    // names that differ only in case). Null when the record does not name it.
    const Item* Find(const std::wstring& strFolder, const std::wstring& strName) const;

    // Whether the record ends with a signed block, and what it says.
    bool IsSigned() const noexcept { return m_state == State::Loaded && m_bSigned; }
    const Signed& GetSigned() const noexcept { return m_signed; }
    // Whether the block was signed by this key: its key id names the key and the
    // signature is the key's over the signed bytes.
    bool IsSignedBy(const SCReleasePublicKey& key) const noexcept;

    // ---- Writing (QVSMakeList) ----
    // The first line for a list file of these bytes' digest.
    static std::wstring FormatFirstLine(const SCSha256::Digest& listDigest);
    // One file's line. Check CanRecord first: other fields would not read back.
    static std::wstring FormatLine(const std::wstring& strFolder, const std::wstring& strName,
                                   const Item& item);
    // The signed block's lines (SCReleaseSigningKey::SignRecord puts them together).
    static std::wstring FormatReleaseLine(ULONGLONG nRelease, const SCReleasePublicKey::Id& signerId);
    static std::wstring FormatNextKeyLines(const SCReleasePublicKey& nextKey);
    static std::wstring FormatSignatureLines(const SCReleasePublicKey::Signature& signature);
    // Whether folder and name can stand in a record line.
    static bool CanRecord(std::wstring_view folder, std::wstring_view name) noexcept;

private:
    void Fail(State state, DWORD dwError);

    State m_state = State::Empty;
    std::wstring m_strPath;
    DWORD m_dwError = ERROR_SUCCESS;
    SCSha256::Digest m_listDigest{};
    bool m_bSigned = false;
    Signed m_signed;
    // Keyed by a hash of folder, TAB and name (neither field holds a TAB).
    std::unordered_map<uint64_t, Item> m_items;
};
