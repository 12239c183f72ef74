#pragma once
// The one fixture of the scenarios: a release published with QVSMakeList and
// reached through its UNC path, an installation of the real program (the
// stand-in client as QVS.exe) whose QVS.ini names the release, and the check of
// everything a start passes through.

#include "tests/support/Support.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qvstest
{
struct FileState
{
    std::string bytes;
    FILETIME stamp;
    DWORD attributes;
    bool operator==(const FileState& other) const;
};
using Tree = std::map<std::wstring, FileState>; // by path below the tree's root
// The differences, one line each ("" when the trees agree).
std::string Differences(const Tree& expected, const Tree& actual);

// The reference walk: depth-first in the system's order, each folder before what
// it holds, without what the program never lists (its log, the two lists).
struct Walked
{
    std::wstring path;
    bool folder;
    DWORD error; // why the file cannot be opened for reading; 0 when it can
    FILETIME stamp;
};
// Every file below root but those named in skip; the reference walk into pWalk.
Tree Scan(const std::wstring& root, const std::set<std::wstring>& skip = {},
          std::vector<Walked>* pWalk = nullptr);

class Release
{
public:
    // A folder below the build's shared top folder (QVS_UNC_LOCAL), or below the
    // folder another variable names (QVS_STALL_MOUNT: the share that stops answering).
    explicit Release(const wchar_t* baseVariable = L"QVS_UNC_LOCAL");
    // Its folder's name, below the base.
    std::wstring name() const { return m_local.substr(m_local.rfind(L'\\') + 1); }
    ~Release();
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;

    const std::wstring& local() const { return m_local; } // as this machine writes it (Z:\...)
    const std::wstring& unc() const { return m_unc; }     // as clients and lists name it
    std::wstring Path(const std::wstring& relative) const { return m_local + L"\\" + relative; }
    void Put(const std::wstring& relative, const std::string& bytes, const FILETIME& ft);
    // Runs QVSMakeList.exe on the folder, with options before it (--sign ...); its
    // exit code. With publishedAs the lists name the release so (--published-as),
    // and unc() is that name from then on.
    DWORD Publish(const std::wstring& options = {}, const std::wstring& publishedAs = {});
    // What the last Publish printed.
    const std::wstring& published() const { return m_published; }
    // Counts the changes made through Put and Publish.
    unsigned changes() const { return m_nChanges; }

private:
    unsigned m_nChanges = 0;
    std::wstring m_local;
    std::wstring m_unc;
    std::wstring m_published;
    ULONGLONG m_nListSecond = 0;
};

class Installation
{
public:
    // Below a fresh temporary folder, in a root of the given name; the program in root\bin.
    explicit Installation(const std::wstring& rootName = L"inst", const std::wstring& parent = {});
    const std::wstring& root() const { return m_root; }
    std::wstring bin() const { return m_root + L"\\bin"; }
    std::wstring Path(const std::wstring& relative) const { return m_root + L"\\" + relative; }
    // The updater's command line with the given argument text.
    std::wstring Command(const std::wstring& arguments = {}) const;

    // QVS.ini with [HotUpdate] SourceFolder=source (UTF-16 with BOM).
    void Configure(const std::wstring& source, const std::wstring& moreLines = {}) const;
    void Put(const std::wstring& relative, const std::string& bytes, const FILETIME& ft) const;
    std::wstring Ini(const wchar_t* key) const; // "<missing>" without the key
    // Waits until no start works on the installation (it holds the installation's
    // lock until its outcome is recorded): a run that stays for the user has by then
    // written every line of its text box.
    void WaitUntilNoRun() const;
    std::string Log() const;                    // "<no log>" without the file
    // The stand-in client's starts: "started TAB command line TAB folder TAB counter".
    std::vector<std::wstring> ClientStarts() const;
    // What every start may write: QVS.ini, the log, the two lists, the client's record.
    std::set<std::wstring> Volatile() const;

private:
    TempDir m_temp;
    std::wstring m_root;
};

class Scenario : public testing::Test
{
protected:
    explicit Scenario(const std::wstring& rootName = L"inst",
                      const wchar_t* releaseBase = L"QVS_UNC_LOCAL");

    // A release file the run copies, or fails to copy with the system's error, or
    // refuses as not matching the release's record (kNotRelease), or copies but
    // cannot put in place because the installed file is held open (kHeld). The
    // release is installed whole or not at all; the copies stop at the first that fails.
    // whole: why a file that could be built from its installed version's blocks was
    // copied whole, as the log says it before the copy's line (0: nothing to say).
    struct Copy
    {
        std::wstring file;
        DWORD error = ERROR_SUCCESS;
        DWORD whole = 0;
    };
    static constexpr DWORD kNotRelease = ERROR_FILE_CORRUPT;
    static constexpr DWORD kHeld = 0xE0000020;
    static constexpr DWORD kIndexRefused = 1; // its block index does not match the record
    static constexpr DWORD kBuiltNotRelease = 2; // what was built from blocks does not match
    // "<FILE> does not match the release: it was not installed."
    std::wstring NotReleaseText(const std::wstring& file) const;
    // "<installed file> could not be replaced: ..." for the first kHeld copy; "" without.
    std::wstring HeldText(const std::vector<Copy>& copies) const;
    // What a start finds.
    struct Before
    {
        Tree tree;    // the installation but its volatile files
        Tree release; // the release's files
        std::vector<Walked> walk;
        std::vector<std::wstring> copyOrder; // the release's files in the order they are copied
        std::string ini;
        size_t nStarts = 0;
        SYSTEMTIME time{};
    };
    Before Take() const;

    // A start that runs an update: it shows the dialog, copies exactly these files
    // (or, when one fails, none), changes nothing else, records the
    // outcome, logs the walk, the saved list and each copy, writes the client list,
    // and starts the client.
    void ExpectUpdate(const std::vector<Copy>& copies, const std::wstring& arguments = {});
    // The same checks after a run the test drove itself; bClient: the client was started.
    void CheckUpdate(const Before& before, const std::vector<Copy>& copies, bool bClient = true);
    // The everyday start: no window, QVS.ini unchanged, an empty log, the client started.
    void ExpectClientOnly(const std::wstring& arguments = {});

    // The messages of such a run, oldest first: where the settings came from, the walk's
    // folders (and the files it could not read) in its order, the saved client list,
    // each copy in the copy's order.
    std::vector<std::wstring> Messages(const Before& before, const std::vector<Copy>& copies) const;
    // The log of those messages, and the text box of a dialog that stays open after
    // them: the messages newest first (from the walk's on: the box is emptied as the
    // walk begins), then the walk's file lines.
    static std::string LogText(const std::vector<std::wstring>& messages);
    static std::wstring BoxText(const std::vector<std::wstring>& messages, const Before& before);
    Release rel;
    Installation inst;
    // The line that says the copies are not checked against a release record,
    // when the release has none that belongs to its list.
    std::wstring unverified;
    // A line the start logs after the run (the desktop report's), when there is one.
    std::wstring afterRun;
    // The installation has a ReleaseKey: copied files take the signed list's stamp.
    bool signedStamps = false;
    // The stamp the release's list gives a file ("" when it names none).
    std::wstring ListedStamp(const std::wstring& file) const;
    // What the last checked run read from the release folder, as its log says (0
    // without the line). A run whose files are all smaller than a block index's
    // threshold must read exactly what they hold; the scenarios of larger files check it.
    ULONGLONG bytesRead = 0;
    // The run's first line, where SourceFolder and ReleaseKey came from; empty: QVS.ini
    // (ReleaseKey "not set" when QVS.ini has none).
    std::wstring settings;

private:
    // The release as the last Take found it, kept while it does not change.
    mutable unsigned m_nReleaseSeen = ~0u;
    mutable Tree m_release;
    mutable std::vector<std::wstring> m_copyOrder;
    static std::vector<Copy> InCopyOrder(const Before& before, std::vector<Copy> copies);
};

// Sees the temporary copies a run makes below a folder as the system reports
// them, however briefly they exist. Made before the run starts.
class CopyWatch
{
public:
    explicit CopyWatch(const std::wstring& root);
    ~CopyWatch();
    CopyWatch(const CopyWatch&) = delete;
    CopyWatch& operator=(const CopyWatch&) = delete;
    // Waits until the n-th temporary copy was made in one of the folders (relative
    // to the root, which exist already); false when the program ended first, or
    // timeoutMs passed (a run whose dialog waits for OK makes no copy and never ends).
    bool WaitFor(const Program& program, size_t n, const std::vector<std::wstring>& folders,
                 DWORD timeoutMs = INFINITE);

private:
    UniqueFile m_dir;
    UniqueKernelHandle m_event;
    OVERLAPPED m_overlapped{};
    std::vector<DWORD> m_buffer;
    std::set<std::wstring> m_seen;
};

// While it lives, a control of the stalling share (tests/README.md) holds for the
// release's folder: kind "stall", "rate", "flip"... with its text.
class ShareControl
{
public:
    ShareControl(const Release& rel, const std::wstring& kind, const std::string& text);
    ~ShareControl() { DeleteFileW(m_path.c_str()); }
    ShareControl(const ShareControl&) = delete;
    ShareControl& operator=(const ShareControl&) = delete;

protected:
    std::wstring m_path;
};

// While it lives, every access to the release's folder on the stalling share waits.
// Made before any program starts there: an open already under way when a share
// stops would hold Wine's server itself.
class Stall : public ShareControl
{
public:
    // names: only requests on files of these names wait (read:NAME: only the reads
    // of their bytes); none: every request below the release's folder.
    explicit Stall(const Release& rel, const std::string& names = {})
        : ShareControl(rel, L"stall", names)
    {
    }
};

// The bytes the stalling share serves below the release's folder from its making on.
class ServedBytes : public ShareControl
{
public:
    explicit ServedBytes(const Release& rel);
    ULONGLONG Total() const;
    // Of one file, by its path below the release's folder ("data\\big.dat").
    ULONGLONG Of(const std::wstring& file) const;
};

// QVS.ini's stamp in a client list or text box made "<stamp>": the run writes the
// file just before it lists the installation.
std::wstring MaskIniStamp(std::wstring text);
// Content that differs from every other version's at every 4 KB block, and shares no
// run of some dozen bytes with any other block of its own or another version: lines
// of 4 KB, each its version and number, then letters of their own.
std::string Content(size_t size, const std::string& version);
} // namespace qvstest
