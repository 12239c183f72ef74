#include "lib/File.h"

#include "framework/AfxWnd.h"
#include "lib/ConfFile.h"
#include "lib/Miscellaneous.h"
#include "lib/SignedStamp.h"
#include "lib/ResString.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace
{
// List files are read and written through a buffer of this size.
constexpr UINT kArchiveBufferSize = 4096;

struct ListSlot
{
    SCFile file;
    FileList list;
    DWORD dwError = 0;
};

// The two slots live from their first use to the end of the process.
ListSlot* FindSlot(FileListKind kind) noexcept
{
    static ListSlot s_slots[2];
    switch (kind)
    {
    case FileListKind::Server:
        return &s_slots[0];
    case FileListKind::Client:
        return &s_slots[1];
    }
    return nullptr;
}

ListSlot& SlotOf(FileListKind kind)
{
    ListSlot* pSlot = FindSlot(kind);
    if (pSlot == nullptr)
    {
        SC_THROW(SC_NO_CODE);
    }
    return *pSlot;
}

// The system error code that a caught exception stands for.
DWORD ErrorOf(const CException* e, DWORD dwRaised) noexcept
{
    if (e->IsKindOf(RUNTIME_CLASS(CFileException)))
    {
        const LONG lOsError = static_cast<const CFileException*>(e)->m_lOsError;
        return lOsError > 0 ? static_cast<DWORD>(lOsError) : ERROR_GEN_FAILURE;
    }
    if (e->IsKindOf(RUNTIME_CLASS(CArchiveException)))
    {
        return ERROR_INVALID_DATA;
    }
    if (e->IsKindOf(RUNTIME_CLASS(CMemoryException)))
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return dwRaised;
}

// Sets the file's archive for as long as the archive is in use.
class ArchiveAttachment
{
public:
    ArchiveAttachment(SCFile& file, CArchive& ar) noexcept : m_file(file)
    {
        m_file.m_pArchive = &ar;
    }
    ~ArchiveAttachment() { m_file.m_pArchive = nullptr; }
    ArchiveAttachment(const ArchiveAttachment&) = delete;
    ArchiveAttachment& operator=(const ArchiveAttachment&) = delete;

private:
    SCFile& m_file;
};

// Splits a line into folder, name and modified. Each search for a separator starts
// one position after the previous one, so a TAB can serve two separators: three
// TABs in a row are two separators around an empty field.
void SplitListLine(const std::wstring& line, FileListEntry& entry)
{
    size_t nPos = 0;
    size_t nStart = 0;
    int nField = 0;
    for (;;)
    {
        const size_t nSep = line.find(L"\t\t", nPos, 2);
        if (nSep == std::wstring::npos)
        {
            break;
        }
        if (nField < 2)
        {
            std::wstring& field = nField == 0 ? entry.folder : entry.name;
            if (nSep > nStart)
            {
                field.assign(line, nStart, nSep - nStart);
            }
            else
            {
                field.clear();
            }
        }
        nPos = nSep + 1;
        nStart = nSep + 2;
        ++nField;
    }
    entry.modified.assign(line, nStart, std::wstring::npos);
}

// No field of a list line may hold a line end, and a file name never holds a
// null: such a line could not be read back as the line it was.
bool HoldsLineBreaker(const std::wstring& text) noexcept
{
    return text.find_first_of(L"\r\n\0", 0, 3) != std::wstring::npos;
}

size_t ListLineLength(const FileListEntry& entry) noexcept
{
    return entry.folder.size() + entry.name.size() + entry.modified.size() + 4;
}

void WriteListLine(CArchive& ar, const FileListEntry& entry)
{
    static constexpr wchar_t kSeparator[] = L"\t\t";
    static constexpr wchar_t kLineEnd[] = L"\r\n";
    ar.WriteString(entry.folder);
    ar.WriteString(kSeparator, 2);
    ar.WriteString(entry.name);
    ar.WriteString(kSeparator, 2);
    ar.WriteString(entry.modified);
    ar.WriteString(kLineEnd, 2);
}

// The local computer's name, or empty when the system has none to give. Asked
// once: it only changes with a restart.
const std::wstring& LocalComputerName()
{
    static const std::wstring s_strName = []
    {
        wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD nSize = MAX_COMPUTERNAME_LENGTH + 1;
        return GetComputerNameW(buffer, &nSize) ? std::wstring(buffer, nSize) : std::wstring();
    }();
    return s_strName;
}

// The file's last-write time in the list's form, under the offset in force now.
std::wstring LastWriteStamp(HANDLE hFile, const std::wstring& strPath)
{
    FILETIME ftWrite;
    std::wstring stamp;
    if (!GetFileTime(hFile, nullptr, nullptr, &ftWrite) || !ListStampOfFileTime(ftWrite, stamp))
    {
        const LONG lOsError = static_cast<LONG>(GetLastError());
        AfxThrowFileException(CFileException::OsErrorToException(lOsError), lOsError, strPath);
    }
    return stamp;
}

void AppendTwoDigits(std::wstring& text, unsigned n)
{
    text += static_cast<wchar_t>(L'0' + n / 10 % 10);
    text += static_cast<wchar_t>(L'0' + n % 10);
}

// ---- Comparison ----

// The folding table: for every code unit, its upper case by the invariant locale.
// Without linguistic casing, LCMapStringEx follows the file system's casing rules,
// which CompareStringOrdinal uses too; a mapping that the comparison does not
// confirm is dropped all the same.
std::unique_ptr<const std::array<wchar_t, 0x10000>> BuildFoldTable()
{
    auto pTable = std::make_unique<std::array<wchar_t, 0x10000>>();
    auto& table = *pTable;
    for (size_t i = 0; i < table.size(); ++i)
    {
        table[i] = static_cast<wchar_t>(i);
    }
    const auto keep = [&table](wchar_t ch, wchar_t up)
    {
        if (up != ch && CompareStringOrdinal(&ch, 1, &up, 1, TRUE) == CSTR_EQUAL)
        {
            table[static_cast<size_t>(ch)] = up;
        }
    };
    // Surrogates are compared as single code units and have no case of their own:
    // leaving them out keeps the runs below from forming pairs.
    const std::pair<size_t, size_t> kRanges[] = {{1, 0xD800}, {0xE000, 0x10000}};
    std::vector<wchar_t> source;
    std::vector<wchar_t> upper;
    for (const auto& range : kRanges)
    {
        const int nLength = static_cast<int>(range.second - range.first);
        source.assign(table.begin() + static_cast<ptrdiff_t>(range.first),
                      table.begin() + static_cast<ptrdiff_t>(range.second));
        upper.assign(source.size(), L'\0');
        if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, source.data(), nLength,
                          upper.data(), nLength, nullptr, nullptr, 0) == nLength)
        {
            for (size_t i = 0; i < source.size(); ++i)
            {
                keep(source[i], upper[i]);
            }
            continue;
        }
        // A mapping that changed the run's length cannot be read per code unit: ask
        // for each one alone.
        for (const wchar_t ch : source)
        {
            wchar_t up = ch;
            if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &ch, 1, &up, 1, nullptr,
                              nullptr, 0) == 1)
            {
                keep(ch, up);
            }
        }
    }
    return pTable;
}

const std::array<wchar_t, 0x10000>& FoldTable()
{
    static const std::unique_ptr<const std::array<wchar_t, 0x10000>> s_pTable = BuildFoldTable();
    return *s_pTable;
}

// FNV-1a over the folded code units of the name and the folder, each led by
// its length so that the two cannot run into each other.
uint64_t FoldedKeyHash(const std::wstring& name, const std::wstring& folder) noexcept
{
    const auto& table = FoldTable();
    uint64_t h = 14695981039346656037ull;
    const auto mix = [&h](uint64_t v)
    {
        h ^= v;
        h *= 1099511628211ull;
    };
    mix(name.size());
    for (const wchar_t ch : name)
    {
        mix(static_cast<uint64_t>(table[ch]));
    }
    mix(folder.size() | (1ull << 40));
    for (const wchar_t ch : folder)
    {
        mix(static_cast<uint64_t>(table[ch]));
    }
    return h;
}

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) noexcept
{
    if (a.size() > INT_MAX || b.size() > INT_MAX)
    {
        return false;
    }
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The text with every occurrence of what removed, matched with case, left to right.
std::wstring RemoveAll(const std::wstring& text, const std::wstring& what)
{
    size_t nPos = what.empty() ? std::wstring::npos : text.find(what);
    if (nPos == std::wstring::npos)
    {
        return text;
    }
    std::wstring result;
    result.reserve(text.size());
    size_t nFrom = 0;
    while (nPos != std::wstring::npos)
    {
        result.append(text, nFrom, nPos - nFrom);
        nFrom = nPos + what.size();
        nPos = text.find(what, nFrom);
    }
    result.append(text, nFrom, std::wstring::npos);
    return result;
}

// Where a file that the installation does not have goes: the same place below
// the root as it has below the release folder. A folder outside the release folder
// (or named in another spelling of it) keeps the rule that serves the usual layout,
// a release at the top of its share: the computer and the first folder below it
// are dropped.
std::wstring NewFileTarget(const std::wstring& folder, const std::wstring& serverPrefix,
                           const std::wstring& root)
{
    if (folder.size() >= serverPrefix.size() &&
        EqualIgnoringCase(folder.substr(0, serverPrefix.size()), serverPrefix))
    {
        return root + L"\\" + folder.substr(serverPrefix.size());
    }
    size_t nFirst = folder.find(L'\\', 2);
    if (nFirst == std::wstring::npos)
    {
        nFirst = 0;
    }
    const std::wstring rest =
        nFirst + 1 < folder.size() ? folder.substr(nFirst + 1) : std::wstring();
    size_t nSecond = rest.find(L'\\');
    if (nSecond == std::wstring::npos)
    {
        nSecond = 0;
    }
    return root + rest.substr(nSecond);
}

// A stamp's second count, as SCDateTime compares stamps (-1 when it does not parse).
int64_t StampSeconds(const std::wstring& text, const std::wstring& pattern)
{
    SCDateTime time(0);
    time.Parse(text.c_str(), pattern);
    return time.GetTime();
}

constexpr int64_t kNotParsed = INT64_MIN;
} // namespace

std::wstring FormatListLine(const FileListEntry& entry)
{
    std::wstring line;
    line.reserve(ListLineLength(entry) + 2);
    line += entry.folder;
    line += L"\t\t";
    line += entry.name;
    line += L"\t\t";
    line += entry.modified;
    line += L"\r\n";
    return line;
}

BOOL OpenListFile(FileListKind kind, const std::wstring& strFolder)
{
    ListSlot* pSlot = FindSlot(kind);
    DWORD dwError = ERROR_INVALID_PARAMETER;
    try
    {
        const wchar_t* pszName = nullptr;
        UINT nFlags = 0;
        switch (kind)
        {
        case FileListKind::Server:
            pszName = kServerListName;
            nFlags = CFile::modeRead | CFile::shareDenyNone;
            break;
        case FileListKind::Client:
            pszName = kClientListName;
            nFlags = CFile::modeReadWrite | CFile::modeCreate | CFile::modeNoTruncate;
            break;
        }
        if (pSlot == nullptr || pszName == nullptr || strFolder.empty())
        {
            SC_THROW(SC_NO_CODE);
        }
        std::wstring path = strFolder;
        if (path.back() != L'\\')
        {
            path += L'\\';
        }
        path += pszName;

        CFileException error;
        if (pSlot->file.Open(path, nFlags, &error))
        {
            pSlot->dwError = 0;
            return TRUE;
        }
        // Not an error here: the caller decides what a missing list means.
        dwError = error.m_lOsError > 0 ? static_cast<DWORD>(error.m_lOsError) : ERROR_GEN_FAILURE;
    }
    catch (CException* e)
    {
        dwError = ErrorOf(e, dwError);
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (pSlot != nullptr)
    {
        pSlot->dwError = dwError;
    }
    SetLastError(dwError);
    return FALSE;
}

void CloseListFile(FileListKind kind)
{
    if (ListSlot* pSlot = FindSlot(kind))
    {
        pSlot->file.Close();
    }
}

void TruncateListFile(FileListKind kind)
{
    SlotOf(kind).file.SetLength(0);
}

BOOL ReadList(FileListKind kind)
{
    ListSlot* pSlot = FindSlot(kind);
    DWORD dwError = ERROR_INVALID_PARAMETER;
    try
    {
        if (pSlot == nullptr)
        {
            SC_THROW(SC_NO_CODE);
        }
        pSlot->list.clear();
        if (!pSlot->file.IsOpen())
        {
            dwError = ERROR_INVALID_HANDLE;
            SC_THROW(SC_NO_CODE);
        }
        pSlot->file.SeekToBegin();

        // The lines are gathered apart and only a whole file becomes the list.
        FileList list;
        {
            CArchive ar(&pSlot->file, CArchive::load, kArchiveBufferSize);
            ArchiveAttachment attachment(pSlot->file, ar);
            std::wstring line;
            while (ar.ReadString(line, kMaxListLineLength))
            {
                if (line.find(L'\0') != std::wstring::npos)
                {
                    dwError = ERROR_INVALID_DATA;
                    SC_THROW(SC_NO_CODE);
                }
                auto pEntry = std::make_unique<FileListEntry>();
                SplitListLine(line, *pEntry);
                list.push_front(std::move(pEntry));
            }
            ar.Close();
        }
        pSlot->list = std::move(list);
        pSlot->dwError = 0;
        return TRUE;
    }
    catch (CException* e)
    {
        dwError = ErrorOf(e, dwError);
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (pSlot != nullptr)
    {
        pSlot->list.clear();
        pSlot->dwError = dwError;
    }
    SetLastError(dwError);
    return FALSE;
}

BOOL WriteList(FileListKind kind)
{
    ListSlot* pSlot = FindSlot(kind);
    if (pSlot == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD dwError = ERROR_GEN_FAILURE;
    bool bWriting = false;
    ULONGLONG nStart = 0;
    try
    {
        if (!pSlot->file.IsOpen())
        {
            dwError = ERROR_INVALID_HANDLE;
            SC_THROW(SC_NO_CODE);
        }
        // Every line written must read back as the entry it came from.
        for (const auto& pEntry : pSlot->list)
        {
            if (ListLineLength(*pEntry) > kMaxListLineLength || HoldsLineBreaker(pEntry->folder) ||
                HoldsLineBreaker(pEntry->name) || HoldsLineBreaker(pEntry->modified))
            {
                dwError = ERROR_INVALID_DATA;
                SC_THROW(SC_NO_CODE);
            }
        }
        nStart = pSlot->file.SeekToEnd();
        bWriting = true;
        {
            CArchive ar(&pSlot->file, CArchive::store, kArchiveBufferSize);
            ArchiveAttachment attachment(pSlot->file, ar);
            for (const auto& pEntry : pSlot->list)
            {
                WriteListLine(ar, *pEntry);
            }
            ar.Close();
        }
        pSlot->dwError = 0;
        return TRUE;
    }
    catch (CException* e)
    {
        dwError = ErrorOf(e, dwError);
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
        dwError = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (bWriting)
    {
        // A list written in part would be read as a shorter list: take it back.
        try
        {
            pSlot->file.SetLength(nStart);
        }
        catch (CException* e)
        {
            e->Delete();
        }
    }
    pSlot->dwError = dwError;
    SetLastError(dwError);
    return FALSE;
}

void ClearList(FileListKind kind)
{
    if (ListSlot* pSlot = FindSlot(kind))
    {
        pSlot->list.clear();
    }
}

BOOL AddListEntry(FileListKind kind, std::unique_ptr<FileListEntry> pEntry, CWnd* pWnd)
{
    ListSlot* pSlot = FindSlot(kind);
    if (pSlot == nullptr || pEntry == nullptr)
    {
        return FALSE;
    }
    const FileListEntry& entry = *pEntry;
    pSlot->list.push_front(std::move(pEntry));
    if (pWnd != nullptr)
    {
        pWnd->AppendDlgItemText(IDC_LOG, FormatListLine(entry));
    }
    return TRUE;
}

FileList& GetList(FileListKind kind)
{
    return SlotOf(kind).list;
}

DWORD GetListFileError(FileListKind kind)
{
    const ListSlot* pSlot = FindSlot(kind);
    return pSlot != nullptr ? pSlot->dwError : ERROR_INVALID_PARAMETER;
}

FileList& CompareLists(bool bSignedStamps)
{
    FileList& serverList = SlotOf(FileListKind::Server).list;
    const FileList& clientList = SlotOf(FileListKind::Client).list;
    const std::wstring root = GetAppRootFolder();
    const std::wstring clientPrefix = root + L"\\";
    const std::wstring serverPrefix = ReadSourceFolder() + L"\\";
    const SCResAString pattern(IDS_TIMESTAMP_PATTERN);

    // Client entries by name and relative folder, folded as the comparison
    // ignores case; equal hashes are confirmed by the comparison itself. Within
    // one hash the entries stay in list order, so the last older match still wins.
    std::vector<std::pair<uint64_t, uint32_t>> index;
    index.reserve(clientList.size());
    for (size_t i = 0; i < clientList.size(); ++i)
    {
        const FileListEntry& client = *clientList[i];
        index.emplace_back(FoldedKeyHash(client.name, RemoveAll(client.folder, clientPrefix)),
                           static_cast<uint32_t>(i));
    }
    std::sort(index.begin(), index.end());
    std::vector<int64_t> clientSeconds(clientList.size(), kNotParsed);
    const LONGLONG nShift = bSignedStamps ? SCSignedStampShiftSeconds() : 0;

    for (const auto& pServer : serverList)
    {
        FileListEntry& server = *pServer;
        const std::wstring serverFolder = RemoveAll(server.folder, serverPrefix);
        const uint64_t nHash = FoldedKeyHash(server.name, serverFolder);
        auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(nHash, uint32_t{0}));
        bool bMatched = false;
        int64_t nServerSeconds = kNotParsed;
        for (; it != index.end() && it->first == nHash; ++it)
        {
            const FileListEntry& client = *clientList[it->second];
            if (!EqualIgnoringCase(server.name, client.name) ||
                !EqualIgnoringCase(serverFolder, RemoveAll(client.folder, clientPrefix)))
            {
                continue;
            }
            bMatched = true;
            if (bSignedStamps)
            {
                if (SCSignedStampsDiffer(server.modified, client.modified, nShift))
                {
                    server.target = client.folder;
                }
                continue;
            }
            // The same text is the same time: no stamp is later than itself.
            if (server.modified == client.modified)
            {
                continue;
            }
            if (nServerSeconds == kNotParsed)
            {
                nServerSeconds = StampSeconds(server.modified, pattern);
            }
            int64_t& nClientSeconds = clientSeconds[it->second];
            if (nClientSeconds == kNotParsed)
            {
                nClientSeconds = StampSeconds(client.modified, pattern);
            }
            if (nServerSeconds > nClientSeconds)
            {
                server.target = client.folder;
            }
        }
        if (!bMatched)
        {
            server.target = NewFileTarget(server.folder, serverPrefix, root);
        }
    }
    return serverList;
}

// ---- SCFile ----

SCFile::SCFile() = default;

SCFile::SCFile(const std::wstring& strPath) : CFile(strPath, modeRead | shareDenyNone) {}

SCFile::~SCFile() = default;

void SCFile::FillEntry(FileListKind kind, FileListEntry* pEntry)
{
    try
    {
        if (pEntry == nullptr)
        {
            SC_THROW(SC_NO_CODE);
        }
        CheckOpen();
        std::wstring modified = LastWriteStamp(m_hFile.get(), m_strFileName);
        std::wstring folder = ListFolderFromPath(kind, GetFilePath(), LocalComputerName());
        std::wstring name = GetFileName();
        pEntry->folder = std::move(folder);
        pEntry->name = std::move(name);
        pEntry->modified = std::move(modified);
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
}

void SCFile::GetModifiedTime(SCDateTime& time)
{
    try
    {
        CheckOpen();
        const std::wstring stamp = LastWriteStamp(m_hFile.get(), m_strFileName);
        time.Parse(stamp.c_str(), IDS_TIMESTAMP_PATTERN);
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
}

// ---- Pieces ----

std::wstring ListFolderFromPath(FileListKind kind, const std::wstring& strFullPath,
                                const std::wstring& strComputerName)
{
    size_t nLast = strFullPath.rfind(L'\\');
    if (nLast == std::wstring::npos)
    {
        nLast = strFullPath.size();
    }
    const size_t nEnd = std::min(nLast + 1, strFullPath.size());
    switch (kind)
    {
    case FileListKind::Server:
    {
        size_t nColon = strFullPath.find(L':');
        if (nColon == std::wstring::npos)
        {
            nColon = 0;
        }
        const size_t nFrom = std::min(nColon + 1, nEnd);
        std::wstring folder = strFullPath.substr(nFrom, nEnd - nFrom);
        return strComputerName.empty() ? folder : L"\\\\" + strComputerName + folder;
    }
    case FileListKind::Client:
        return strFullPath.substr(0, nEnd);
    }
    return std::wstring();
}

std::wstring FormatListStamp(const SYSTEMTIME& stLocal)
{
    std::wstring text;
    text.reserve(17);
    AppendTwoDigits(text, stLocal.wDay);
    text += L'/';
    AppendTwoDigits(text, stLocal.wMonth);
    text += L'/';
    AppendTwoDigits(text, stLocal.wYear % 100u);
    text += L' ';
    AppendTwoDigits(text, stLocal.wHour);
    text += L':';
    AppendTwoDigits(text, stLocal.wMinute);
    text += L':';
    AppendTwoDigits(text, stLocal.wSecond);
    return text;
}

std::wstring FormatListStamp(const FILETIME& ftUtc, LONG nBiasMinutes)
{
    ULARGE_INTEGER ticks;
    ticks.LowPart = ftUtc.dwLowDateTime;
    ticks.HighPart = ftUtc.dwHighDateTime;
    const LONGLONG nShift = static_cast<LONGLONG>(nBiasMinutes) * 60LL * 10000000LL;
    ticks.QuadPart = static_cast<ULONGLONG>(static_cast<LONGLONG>(ticks.QuadPart) - nShift);
    FILETIME ftLocal;
    ftLocal.dwLowDateTime = ticks.LowPart;
    ftLocal.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME stLocal;
    if (!FileTimeToSystemTime(&ftLocal, &stLocal))
    {
        return std::wstring();
    }
    return FormatListStamp(stLocal);
}

bool ListStampOfFileTime(const FILETIME& ftUtc, std::wstring& stamp)
{
    FILETIME ftLocal;
    SYSTEMTIME stLocal;
    if (!FileTimeToLocalFileTime(&ftUtc, &ftLocal) || !FileTimeToSystemTime(&ftLocal, &stLocal))
    {
        return false;
    }
    stamp = FormatListStamp(stLocal);
    return true;
}

SCDateTime ListTimeOfFileTime(const FILETIME& ftUtc)
{
    std::wstring stamp;
    if (!ListStampOfFileTime(ftUtc, stamp))
    {
        return g_dtInvalid;
    }
    SCDateTime time(0);
    time.Parse(stamp.c_str(), IDS_TIMESTAMP_PATTERN);
    return time;
}

wchar_t FoldListChar(wchar_t ch) noexcept
{
    return FoldTable()[static_cast<size_t>(ch)];
}
