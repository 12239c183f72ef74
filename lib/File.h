#pragma once
// File lists: the entry record, the list-file format, the two process-wide list
// slots (server and client), the file class every list and tree file is opened
// through, and the comparison that marks what is to be copied where.
//
// List-file format, shared with every installed client and with the tool that
// writes the server lists: UTF-16LE without BOM; one line per entry: folder, TAB
// TAB, name, TAB TAB, modified, CR LF. Fields are kept as 16-bit text, so every
// name the file system allows survives unchanged.

#include "framework/AfxFile.h"
#include "lib/Time.h"

#include <deque>
#include <memory>
#include <string>

class CWnd;

enum class FileListKind : int
{
    Server = 0,
    Client = 1,
};

inline constexpr wchar_t kServerListName[] = L"HotUpdateFileList_Server.txt";
inline constexpr wchar_t kClientListName[] = L"HotUpdateFileList_Client.txt";

struct FileListEntry
{
    std::wstring folder;   // the folder holding the file, with a final backslash
    std::wstring target;   // where the file is to be copied; set only by CompareLists
    std::wstring name;     // name and extension, no folder
    std::wstring modified; // last-write time, local, "dd/MM/yy HH:mm:ss"
};

// A slot's entries, front to back; new entries go to the front. The list owns them.
using FileList = std::deque<std::unique_ptr<FileListEntry>>;

// The entry's line in the list file: folder TAB TAB name TAB TAB modified CR LF.
std::wstring FormatListLine(const FileListEntry& entry);

// Opens the slot's list file in folder (with or without a final backslash): the
// server list read-only and shared, the client list read-write, created when
// missing, not shared. FALSE when it cannot be opened.
BOOL OpenListFile(FileListKind kind, const std::wstring& strFolder);
void CloseListFile(FileListKind kind);
// Empties the slot's open list file.
void TruncateListFile(FileListKind kind);
// Reads the whole file into the slot's list (emptied first). On any failure the
// list is left empty and FALSE returned; GetListFileError tells why.
BOOL ReadList(FileListKind kind);
// Appends the slot's list to its file, front to back.
BOOL WriteList(FileListKind kind);
void ClearList(FileListKind kind);
// Puts the entry at the front of the slot's list; with a window, its line is also
// appended to the window's text box (control 1000). FALSE (entry not taken) for an
// invalid kind.
BOOL AddListEntry(FileListKind kind, std::unique_ptr<FileListEntry> pEntry, CWnd* pWnd);
// The slot's list (for the walk, the copy and tests).
FileList& GetList(FileListKind kind);
// The system error code of the slot's last failed open, read or write
// (ERROR_INVALID_DATA for a malformed file); 0 after success.
DWORD GetListFileError(FileListKind kind);

// Marks in every server entry the folder it must be copied into: a newer file
// into the folder of its installed copy, a new file below the installation root.
// Returns the server slot's list. With bSignedStamps (a signed release: lib/SignedStamp.h)
// a file whose stamp differs from the installed one's is copied, not only a newer one.
FileList& CompareLists(bool bSignedStamps = false);

class SCFile : public CFile
{
public:
    SCFile();
    // Opens path for reading while others may read and write it; raises
    // CFileException when it cannot be opened.
    explicit SCFile(const std::wstring& strPath);
    ~SCFile() override;

    // Fills folder (server or client form), name and modified from the open file.
    void FillEntry(FileListKind kind, FileListEntry* pEntry);
    // The file's last-write time to the whole second, as the lists record it.
    void GetModifiedTime(SCDateTime& time);

    CArchive* m_pArchive = nullptr;
};

// ---- The pieces the operations above are made of, open to tests and tools ----

// The longest line (without its line end) a list file may hold: the longest
// path the system allows. Longer lines make the file unreadable as a list.
inline constexpr size_t kMaxListLineLength = 32767;
// The largest release list a client takes: what the share says is trusted only
// within bounds (a list of a million files is some 200 MB; of 100,000, 20 MB).
inline constexpr ULONGLONG kMaxListBytes = 64ull << 20;

// The folder field for a file's full path: client form (the path up to and
// including its last backslash) or server form ("\\" + computer + the path after
// its drive's colon, up to and including its last backslash; without the computer
// part when strComputerName is empty). Empty for any other kind.
std::wstring ListFolderFromPath(FileListKind kind, const std::wstring& strFullPath,
                                const std::wstring& strComputerName);

// The modified field for a local time: "dd/MM/yy HH:mm:ss" (strftime's
// "%d/%m/%y %H:%M:%S").
std::wstring FormatListStamp(const SYSTEMTIME& stLocal);
// The modified field for a UTC time under a given bias (minutes, UTC = local +
// bias, as the system counts it): the offset in force when the entry is made is
// applied to every file, whenever the file was written.
std::wstring FormatListStamp(const FILETIME& ftUtc, LONG nBiasMinutes);

// The list's text for a file last written at ftUtc: local time under the offset
// in force now, as the walk lists it. False (GetLastError says why) when the time
// cannot be converted.
bool ListStampOfFileTime(const FILETIME& ftUtc, std::wstring& stamp);
// The time a list records for a file last written at ftUtc, as GetModifiedTime
// gives it: local time under the offset in force now, whole seconds. Invalid
// when the time cannot be converted.
SCDateTime ListTimeOfFileTime(const FILETIME& ftUtc);

// How CompareLists folds a code unit before hashing: two code units that
// CompareStringOrdinal(..., TRUE) calls equal fold to the same value.
wchar_t FoldListChar(wchar_t ch) noexcept;
