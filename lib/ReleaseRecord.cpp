#include "lib/ReleaseRecord.h"

#include "framework/AfxException.h"
#include "framework/AfxFileFind.h"
#include "framework/AfxWinApp.h"
#include "lib/File.h"
#include "lib/ResString.h"
#include "resource.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace
{
constexpr std::wstring_view kSeparator = L"\t\t";
constexpr std::wstring_view kLineEnd = L"\r\n";

// A record larger than this is not one: a million files with paths of 100
// characters take some 360 MB.

// The longest line: a list line's folder and name, then size and hash.
constexpr size_t kMaxRecordLine = kMaxListLineLength + 2 + 20 + 2 + 64;

bool HoldsBreaker(std::wstring_view text) noexcept
{
    return text.find_first_of(std::wstring_view(L"\t\r\n\0", 4)) != std::wstring_view::npos;
}

// Decimal digits of a size: no sign, no leading zero (but "0"), no overflow.
bool ParseSize(std::wstring_view text, ULONGLONG& nSize) noexcept
{
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == L'0'))
    {
        return false;
    }
    ULONGLONG n = 0;
    for (const wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
        {
            return false;
        }
        const auto nDigit = static_cast<ULONGLONG>(c - L'0');
        if (n > (~0ull - nDigit) / 10)
        {
            return false;
        }
        n = n * 10 + nDigit;
    }
    nSize = n;
    return true;
}

// The signed block as the lines come, each in its place or not at all.
class SignedBlockReader
{
public:
    enum Stage
    {
        kNone,      // no line of the block yet
        kRelease,   // the release line
        kNextX,     // the next key's X
        kNextY,     // and its Y
        kSignatureR,
        kSignatureS, // complete
    };

    // One line of the block, starting at nLineStart in the record's text; the
    // size and hash fields read as a file line's would. False when the line
    // does not belong here.
    bool Take(std::wstring_view all, size_t nLineStart, std::wstring_view name,
              const SCReleaseRecord::Item& item, SCReleaseRecord::Signed& block)
    {
        const auto next = [this](Stage from, Stage to)
        {
            if (m_stage != from)
            {
                return false;
            }
            m_stage = to;
            return true;
        };
        if (name == L"release")
        {
            // Release numbers count from 1.
            block.nRelease = item.nSize;
            block.signerId = item.digest;
            return item.nSize > 0 && next(kNone, kRelease);
        }
        // The other lines have no number.
        if (item.nSize != 0)
        {
            return false;
        }
        if (name == L"next-key-x")
        {
            m_nextX = item.digest;
            return next(kRelease, kNextX);
        }
        if (name == L"next-key-y")
        {
            m_nextY = item.digest;
            block.bNextKey = true;
            return next(kNextX, kNextY);
        }
        if (name == L"signature-r")
        {
            if (m_stage != kRelease && m_stage != kNextY)
            {
                return false;
            }
            m_stage = kSignatureR;
            std::copy(item.digest.begin(), item.digest.end(), block.signature.begin());
            const std::wstring_view signedPart = all.substr(0, nLineStart);
            return SCSha256::HashBytes(signedPart.data(), signedPart.size() * sizeof(wchar_t),
                                       block.signedDigest) != FALSE;
        }
        if (name == L"signature-s")
        {
            std::copy(item.digest.begin(), item.digest.end(), block.signature.begin() + 32);
            return next(kSignatureR, kSignatureS);
        }
        return false;
    }

    Stage GetStage() const noexcept { return m_stage; }

    // At the record's end: no block, or a whole one whose next key is a key.
    bool Finish(SCReleaseRecord::Signed& block) const
    {
        if (m_stage == kNone)
        {
            return true;
        }
        return m_stage == kSignatureS && (!block.bNextKey || block.nextKey.SetPoint(m_nextX, m_nextY));
    }

private:
    Stage m_stage = kNone;
    SCReleasePublicKey::Coordinate m_nextX{};
    SCReleasePublicKey::Coordinate m_nextY{};
};

// A file's key: FNV-1a over folder, TAB, name (neither holds a TAB). A record of
// 50,000 files so takes a few MB instead of some 40 with the texts as keys; two
// lines of one key make the record unreadable, and a look-up that meets another
// line's key is checked against that line and refused.
uint64_t Key(std::wstring_view folder, std::wstring_view name) noexcept
{
    uint64_t h = 14695981039346656037ull;
    const auto mix = [&h](wchar_t c)
    {
        h ^= static_cast<uint64_t>(c);
        h *= 1099511628211ull;
    };
    for (const wchar_t c : folder)
    {
        mix(c);
    }
    mix(L'\t');
    for (const wchar_t c : name)
    {
        mix(c);
    }
    return h;
}
} // namespace

void SCReleaseRecord::Fail(State state, DWORD dwError)
{
    m_items.clear();
    m_listDigest = {};
    m_bSigned = false;
    m_signed = Signed();
    m_state = state;
    m_dwError = dwError;
}

BOOL SCReleaseRecord::Parse(std::string_view bytes)
{
    try
    {
        m_items.clear();
        if (bytes.size() % 2 != 0 || bytes.size() > kMaxRecordBytes)
        {
            Fail(State::Malformed, ERROR_INVALID_DATA);
            return FALSE;
        }
        std::wstring text(bytes.size() / 2, L'\0');
        std::memcpy(text.data(), bytes.data(), bytes.size());
        return ParseText(text);
    }
    catch (const std::bad_alloc&)
    {
        Fail(State::Unreadable, ERROR_NOT_ENOUGH_MEMORY);
    }
    return FALSE;
}

BOOL SCReleaseRecord::ParseText(std::wstring_view all)
{
    try
    {
        m_items.clear();
        if (!all.ends_with(kLineEnd))
        {
            Fail(State::Malformed, ERROR_INVALID_DATA);
            return FALSE;
        }
        std::unordered_map<uint64_t, Item> items;
        items.reserve(all.size() / 100);
        SCSha256::Digest listDigest{};
        SignedBlockReader blockReader;
        Signed block;
        bool bFirst = true;
        size_t nStart = 0;
        while (nStart < all.size())
        {
            const size_t nEnd = all.find(kLineEnd, nStart);
            const size_t nLineStart = nStart;
            const std::wstring_view line = all.substr(nStart, nEnd - nStart);
            nStart = nEnd + kLineEnd.size();
            if (line.size() > kMaxRecordLine ||
                line.find_first_of(std::wstring_view(L"\r\n\0", 3)) != std::wstring_view::npos)
            {
                Fail(State::Malformed, ERROR_INVALID_DATA);
                return FALSE;
            }
            if (bFirst)
            {
                bFirst = false;
                if (!SCSha256::FromHex(line, listDigest))
                {
                    Fail(State::Malformed, ERROR_INVALID_DATA);
                    return FALSE;
                }
                continue;
            }
            // folder TAB TAB name TAB TAB size TAB TAB hash: exactly three
            // separators and no other TAB.
            std::wstring_view fields[4];
            size_t nField = 0;
            size_t nFrom = 0;
            for (; nField < 3; ++nField)
            {
                const size_t nSep = line.find(kSeparator, nFrom);
                if (nSep == std::wstring_view::npos)
                {
                    break;
                }
                fields[nField] = line.substr(nFrom, nSep - nFrom);
                nFrom = nSep + kSeparator.size();
            }
            fields[3] = line.substr(std::min(nFrom, line.size()));
            Item item;
            if (nField != 3 || fields[0].empty() || fields[1].empty() ||
                HoldsBreaker(fields[0]) || HoldsBreaker(fields[1]) ||
                !ParseSize(fields[2], item.nSize) || !SCSha256::FromHex(fields[3], item.digest))
            {
                Fail(State::Malformed, ERROR_INVALID_DATA);
                return FALSE;
            }
            // The signed block's lines are no files; after them no file may come.
            const bool bBlockLine = fields[0] == kSignedFolder;
            if (bBlockLine ? !blockReader.Take(all, nLineStart, fields[1], item, block)
                           : blockReader.GetStage() != SignedBlockReader::kNone ||
                                 !items.emplace(Key(fields[0], fields[1]), item).second)
            {
                Fail(State::Malformed, ERROR_INVALID_DATA);
                return FALSE;
            }
        }
        if (!blockReader.Finish(block))
        {
            Fail(State::Malformed, ERROR_INVALID_DATA);
            return FALSE;
        }
        m_bSigned = blockReader.GetStage() != SignedBlockReader::kNone;
        m_signed = m_bSigned ? block : Signed();
        m_items = std::move(items);
        m_listDigest = listDigest;
        m_state = State::Loaded;
        m_dwError = ERROR_SUCCESS;
        return TRUE;
    }
    catch (const std::bad_alloc&)
    {
        Fail(State::Unreadable, ERROR_NOT_ENOUGH_MEMORY);
    }
    catch (const std::length_error&)
    {
        Fail(State::Unreadable, ERROR_NOT_ENOUGH_MEMORY);
    }
    return FALSE;
}

namespace
{
// Reads a whole file (opened shared, path in any length) as UTF-16 text; bOddSize
// when its bytes do not make whole code units. ERROR_SUCCESS or the system's
// error code.
DWORD ReadWholeFile(const std::wstring& strPath, std::wstring& text, bool& bOddSize,
                    std::atomic<ULONGLONG>* pLastSign)
{
    bOddSize = false;
    const UniqueFile file(CreateFileW(AfxLongPathForm(strPath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
    {
        return GetLastError();
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size))
    {
        return GetLastError();
    }
    if (static_cast<ULONGLONG>(size.QuadPart) > kMaxRecordBytes)
    {
        return ERROR_FILE_TOO_LARGE;
    }
    // Read straight into the text: a record is held once, not as bytes and text.
    const size_t nBytes = static_cast<size_t>(size.QuadPart);
    try
    {
        text.assign((nBytes + 1) / 2, L'\0');
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    char* const pBytes = reinterpret_cast<char*>(text.data());
    size_t nDone = 0;
    while (nDone < nBytes)
    {
        // Pieces small enough that a slow share still shows progress often.
        const DWORD nWant = static_cast<DWORD>(std::min<size_t>(nBytes - nDone, 1u << 18));
        DWORD nRead = 0;
        if (!::ReadFile(file.get(), pBytes + nDone, nWant, &nRead, nullptr))
        {
            return GetLastError();
        }
        if (pLastSign != nullptr)
        {
            pLastSign->store(GetTickCount64());
        }
        if (nRead == 0)
        {
            // Cut short while being read: what was read is all there is.
            break;
        }
        nDone += nRead;
    }
    bOddSize = nDone % 2 != 0;
    text.resize(nDone / 2);
    return ERROR_SUCCESS;
}
} // namespace

BOOL SCReleaseRecord::Read(const std::wstring& strPath, std::atomic<ULONGLONG>* pLastSign)
{
    m_strPath = strPath;
    std::wstring text;
    bool bOddSize = false;
    const DWORD dwError = ReadWholeFile(strPath, text, bOddSize, pLastSign);
    if (dwError != ERROR_SUCCESS)
    {
        const bool bMissing = dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
        Fail(bMissing ? State::Missing : State::Unreadable, dwError);
        return FALSE;
    }
    if (bOddSize)
    {
        Fail(State::Malformed, ERROR_INVALID_DATA);
        return FALSE;
    }
    return ParseText(text);
}

BOOL SCReleaseRecord::LoadFor(const std::wstring& strRecordPath, const std::wstring& strListPath,
                              std::atomic<ULONGLONG>* pLastSign)
{
    if (!Read(strRecordPath, pLastSign))
    {
        return FALSE;
    }
    const UniqueFile list(CreateFileW(AfxLongPathForm(strListPath).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!list)
    {
        Fail(State::Unreadable, GetLastError());
        return FALSE;
    }
    SCSha256::Digest listDigest{};
    const DWORD dwError = SCSha256::HashOpenFile(list.get(), listDigest, nullptr);
    if (dwError != ERROR_SUCCESS)
    {
        Fail(State::Unreadable, dwError);
        return FALSE;
    }
    if (listDigest != m_listDigest)
    {
        Fail(State::OtherList, ERROR_SUCCESS);
        return FALSE;
    }
    return TRUE;
}

const SCReleaseRecord::Item* SCReleaseRecord::Find(const std::wstring& strFolder,
                                                   const std::wstring& strName) const
{
    const auto it = m_items.find(Key(strFolder, strName));
    return it != m_items.end() ? &it->second : nullptr;
}

bool SCReleaseRecord::IsSignedBy(const SCReleasePublicKey& key) const noexcept
{
    return IsSigned() && key.IsValid() && m_signed.signerId == key.GetId() &&
           key.Verify(m_signed.signedDigest, m_signed.signature);
}

std::wstring SCReleaseRecord::FormatFirstLine(const SCSha256::Digest& listDigest)
{
    return SCSha256::ToHex(listDigest) + std::wstring(kLineEnd);
}

std::wstring SCReleaseRecord::FormatLine(const std::wstring& strFolder,
                                         const std::wstring& strName, const Item& item)
{
    std::wstring line;
    line.reserve(strFolder.size() + strName.size() + 96);
    line += strFolder;
    line += kSeparator;
    line += strName;
    line += kSeparator;
    line += std::to_wstring(item.nSize);
    line += kSeparator;
    line += SCSha256::ToHex(item.digest);
    line += kLineEnd;
    return line;
}

namespace
{
// A line of the signed block: written as a file's line, so that it reads as one.
std::wstring BlockLine(const wchar_t* pszName, ULONGLONG nNumber, const SCSha256::Digest& value)
{
    SCReleaseRecord::Item item;
    item.nSize = nNumber;
    item.digest = value;
    return SCReleaseRecord::FormatLine(std::wstring(SCReleaseRecord::kSignedFolder), pszName, item);
}
} // namespace

std::wstring SCReleaseRecord::FormatReleaseLine(ULONGLONG nRelease,
                                                const SCReleasePublicKey::Id& signerId)
{
    return BlockLine(L"release", nRelease, signerId);
}

std::wstring SCReleaseRecord::FormatNextKeyLines(const SCReleasePublicKey& nextKey)
{
    return BlockLine(L"next-key-x", 0, nextKey.X()) + BlockLine(L"next-key-y", 0, nextKey.Y());
}

std::wstring SCReleaseRecord::FormatSignatureLines(const SCReleasePublicKey::Signature& signature)
{
    SCSha256::Digest r{};
    SCSha256::Digest s{};
    std::copy(signature.begin(), signature.begin() + 32, r.begin());
    std::copy(signature.begin() + 32, signature.end(), s.begin());
    return BlockLine(L"signature-r", 0, r) + BlockLine(L"signature-s", 0, s);
}

bool SCReleaseRecord::CanRecord(std::wstring_view folder, std::wstring_view name) noexcept
{
    return !folder.empty() && !name.empty() && !HoldsBreaker(folder) && !HoldsBreaker(name) &&
           folder.size() + name.size() + 4 <= kMaxListLineLength;
}

std::wstring SCRecordProblem(const SCReleaseRecord& record)
{
    if (record.GetError() == ERROR_FILE_TOO_LARGE)
    {
        return AfxFormatStrings(SCResUString(IDS_RECORD_TOO_LARGE), {std::to_wstring(kMaxRecordBytes)});
    }
    return AfxSystemErrorLine(record.GetError() != ERROR_SUCCESS ? record.GetError()
                                                                 : ERROR_INVALID_DATA);
}
