#include "lib/FileIterator.h"

#include "framework/AfxWinApp.h"
#include "lib/FileCopy.h"
#include "lib/Miscellaneous.h"
#include "lib/ResString.h"
#include "lib/Xcpt.h"
#include "resource.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

IMPLEMENT_DYNCREATE(SCRecurseThread, CWinThread)

namespace
{
// A folder or file of this exact name is the update's own log: never listed.
constexpr wchar_t kLogName[] = L"QVSCliUpdate.log";
constexpr std::wstring_view kLeftoverPrefix = L"~QVSCopy-";
constexpr std::wstring_view kLeftoverSuffix = L".tmp";

bool EqualNoCase(std::wstring_view a, std::wstring_view b) noexcept
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) noexcept
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) noexcept
{
    return text.size() >= suffix.size() &&
           EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::wstring UpperCase(std::wstring strText)
{
    if (!strText.empty())
    {
        CharUpperBuffW(strText.data(), static_cast<DWORD>(strText.size()));
    }
    return strText;
}

std::wstring SearchPattern(const std::wstring& strFolder)
{
    if (!strFolder.empty() && strFolder.back() == L'\\')
    {
        return strFolder + L"*.*";
    }
    return strFolder + L"\\*.*";
}

// The lists and the record beside the server list are the update's own files.
bool IsListFileName(std::wstring_view name) noexcept
{
    return EqualNoCase(name, kServerListName) || EqualNoCase(name, kClientListName) ||
           EqualNoCase(name, kReleaseRecordName);
}

// The system's message text for an error code, exactly as the system gives it
// (line end included); empty when there is none.
std::wstring SystemMessageText(DWORD dwError)
{
    LPWSTR pBuffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPWSTR>(&pBuffer), 0, nullptr);
    const UniqueLocal buffer(pBuffer);
    return n != 0 && pBuffer != nullptr ? std::wstring(pBuffer, n) : std::wstring();
}

// Starts the status popup's thread and asks it to end when the work is over,
// however the work ends. The thread deletes itself once it has the quit
// message, so its pointer is forgotten at that moment.
class StatusThreadGuard
{
public:
    explicit StatusThreadGuard(bool bStart) noexcept
    {
        if (bStart)
        {
            m_pThread = static_cast<SCRecurseThread*>(AfxBeginThread(
                RUNTIME_CLASS(SCRecurseThread), THREAD_PRIORITY_NORMAL, 0, 0, nullptr));
            // The thread lives until it is told to end, so its ID can be read now.
            m_nThreadId = m_pThread != nullptr ? m_pThread->m_nThreadID : 0;
        }
    }
    ~StatusThreadGuard() { End(); }
    StatusThreadGuard(const StatusThreadGuard&) = delete;
    StatusThreadGuard& operator=(const StatusThreadGuard&) = delete;

    SCRecurseThread* Get() const noexcept { return m_pThread; }

    void End() noexcept
    {
        if (m_nThreadId != 0)
        {
            PostThreadMessageW(m_nThreadId, WM_QUIT, 0, 0);
        }
        m_nThreadId = 0;
        m_pThread = nullptr;
    }

private:
    SCRecurseThread* m_pThread = nullptr;
    DWORD m_nThreadId = 0;
};

// One file or folder of the walk, in the order the walk meets them, with what
// opening the file gave.
struct WalkItem
{
    enum class State
    {
        Waiting, // a file nobody has opened yet
        Opening, // a file being opened
        Done     // a file opened (or not), or a folder
    };

    std::wstring strPath;
    bool bFolder = false;
    State state = State::Done;
    // The file's entry; null when it is one of the lists or could not be opened.
    std::unique_ptr<FileListEntry> pEntry;
    // The file could not be opened, and why, as the framework says it.
    bool bOpenFailed = false;
    std::wstring strErrorText;
    // Anything else that went wrong, for the walk's own thread to raise.
    std::exception_ptr fault;
};

// Opens the file and fills its entry; a file that cannot be opened gets the
// reason instead. Runs on any of the walk's threads and never throws.
void OpenWalkItem(FileListKind kind, WalkItem& item) noexcept
{
    try
    {
        try
        {
            SCFile file(item.strPath);
            if (IsListFileName(file.GetFileName()))
            {
                return;
            }
            auto pEntry = std::make_unique<FileListEntry>();
            file.FillEntry(kind, pEntry.get());
            item.pEntry = std::move(pEntry);
        }
        catch (CFileException* e)
        {
            // The text is taken and the object destroyed before anyone else runs.
            wchar_t szText[MAX_PATH] = {};
            e->GetErrorMessage(szText, MAX_PATH);
            e->Delete();
            item.bOpenFailed = true;
            item.strErrorText = szText;
        }
    }
    catch (...)
    {
        item.fault = std::current_exception();
    }
}

// The walk's files are opened ahead of the walk by a few threads, each file
// exactly once, while the walk's own thread searches the folders, reports and
// lists everything in the order it met it; when it reaches a file that nobody
// has opened yet, it opens the file itself. Opening a file is the walk's cost:
// under Wine several round trips to the server, on a share a round trip on the
// network, each time. A few opens at once take a fraction of the time.
class WalkOpenAhead
{
public:
    // How far ahead of the walk files are opened: the window of items met but not
    // yet reported.
    static constexpr size_t kWindow = 512;
    static constexpr unsigned kMaxThreads = 4;

    explicit WalkOpenAhead(FileListKind kind) : m_kind(kind), m_ring(kWindow)
    {
        const unsigned nCores = std::thread::hardware_concurrency();
        const unsigned nThreads = std::clamp(nCores, 2u, kMaxThreads);
        try
        {
            m_threads.reserve(nThreads);
            for (unsigned n = 0; n < nThreads; ++n)
            {
                m_threads.emplace_back([this] { OpenerThread(); });
            }
        }
        catch (...)
        {
            // Fewer helpers, or none: the walk's thread opens what is left itself,
            // and the helpers already running are joined at the end as usual.
        }
    }

    ~WalkOpenAhead()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        m_cvWork.notify_all();
        for (std::thread& thread : m_threads)
        {
            thread.join();
        }
    }

    WalkOpenAhead(const WalkOpenAhead&) = delete;
    WalkOpenAhead& operator=(const WalkOpenAhead&) = delete;

    // True while the window has room for one more item.
    bool HasRoom() const noexcept { return m_nWritten - m_nTaken < kWindow; }

    // The slot for the next item the walk meets: Written when it was filled in,
    // Publish to let the openers see it.
    WalkItem& NextSlot() noexcept { return m_ring[m_nWritten % kWindow]; }
    void Written() noexcept { ++m_nWritten; }

    void Publish()
    {
        if (m_nWritten == m_nMet)
        {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_nMet = m_nWritten;
        }
        m_cvWork.notify_all();
    }

    bool Empty() const noexcept { return m_nTaken == m_nMet; }

    // The oldest item met, its file opened: the walk reports it, then calls Release.
    WalkItem& Take()
    {
        WalkItem& item = m_ring[m_nTaken % kWindow];
        std::unique_lock<std::mutex> lock(m_mutex);
        if (item.state == WalkItem::State::Waiting)
        {
            item.state = WalkItem::State::Opening;
            lock.unlock();
            OpenWalkItem(m_kind, item);
            lock.lock();
            item.state = WalkItem::State::Done;
        }
        m_cvDone.wait(lock, [&item] { return item.state == WalkItem::State::Done; });
        return item;
    }

    void Release() noexcept
    {
        WalkItem& item = m_ring[m_nTaken % kWindow];
        item.pEntry.reset();
        item.bOpenFailed = false;
        item.strErrorText.clear();
        item.fault = nullptr;
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nTaken;
    }

private:
    void OpenerThread() noexcept
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;)
        {
            // The next file after those already handed out that nobody is opening.
            m_nNextClaim = std::max(m_nNextClaim, m_nTaken);
            while (m_nNextClaim < m_nMet &&
                   m_ring[m_nNextClaim % kWindow].state != WalkItem::State::Waiting)
            {
                ++m_nNextClaim;
            }
            if (m_bStop)
            {
                return;
            }
            if (m_nNextClaim == m_nMet)
            {
                m_cvWork.wait(lock);
                continue;
            }
            WalkItem& item = m_ring[m_nNextClaim % kWindow];
            ++m_nNextClaim;
            item.state = WalkItem::State::Opening;
            lock.unlock();
            OpenWalkItem(m_kind, item);
            lock.lock();
            item.state = WalkItem::State::Done;
            m_cvDone.notify_all();
        }
    }

    const FileListKind m_kind;
    // Items m_nTaken to m_nWritten - 1 are in the window, at their number modulo
    // its size; the openers see those below m_nMet. The walk's thread alone
    // writes a slot before it is published and after it is taken; in between,
    // state is read and written under m_mutex, and the rest of an item only by
    // whoever moved it to Opening. The counters change only on the walk's
    // thread, m_nMet and m_nTaken under m_mutex.
    std::vector<WalkItem> m_ring;
    size_t m_nWritten = 0;
    size_t m_nMet = 0;
    size_t m_nTaken = 0;
    size_t m_nNextClaim = 0;
    bool m_bStop = false;
    std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::condition_variable m_cvDone;
    std::vector<std::thread> m_threads;
};

// ---- Names and paths that stay inside the installation ----

bool IsPlainName(std::wstring_view name) noexcept
{
    if (name.empty() || name.back() == L'.' || name.back() == L' ')
    {
        // Also ".", ".." and "...": the system strips final dots and spaces.
        return false;
    }
    for (const wchar_t c : name)
    {
        if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos)
        {
            return false;
        }
    }
    return true;
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with the superscript digits the
// system accepts), CONIN$ and CONOUT$, with or without an extension.
bool IsDeviceName(std::wstring_view name)
{
    std::wstring_view base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ')
    {
        base.remove_suffix(1);
    }
    const std::wstring strBase = UpperCase(std::wstring(base));
    if (strBase == L"CON" || strBase == L"PRN" || strBase == L"AUX" || strBase == L"NUL" ||
        strBase == L"CONIN$" || strBase == L"CONOUT$")
    {
        return true;
    }
    if (strBase.size() == 4 && (strBase.starts_with(L"COM") || strBase.starts_with(L"LPT")))
    {
        const wchar_t c = strBase[3];
        return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
    }
    return false;
}

// ---- The copy ----

// Who made a temporary copy: its process, known by number and by the moment it
// started (numbers come round again, and soon: Wine hands out few).
struct CopyMaker
{
    DWORD dwProcessId = 0;
    bool bStartKnown = false;
    ULONGLONG nStart = 0;
};

// When a process started, in the system's 100 ns units; 0 when it cannot be told.
ULONGLONG ProcessStart(HANDLE hProcess) noexcept
{
    FILETIME ftCreation{}, ftExit{}, ftKernel{}, ftUser{};
    if (!GetProcessTimes(hProcess, &ftCreation, &ftExit, &ftKernel, &ftUser))
    {
        return 0;
    }
    return (static_cast<ULONGLONG>(ftCreation.dwHighDateTime) << 32) | ftCreation.dwLowDateTime;
}

// "~QVSCopy-" + process number + its start + copy number + ".tmp", in hex.
std::wstring NewLeftoverName()
{
    static std::atomic<unsigned> s_nCopies{0};
    static const ULONGLONG s_nStart = ProcessStart(GetCurrentProcess());
    wchar_t szMiddle[48] = {};
    swprintf(szMiddle, 48, L"%lx-%llx-%x", GetCurrentProcessId(), s_nStart, s_nCopies++);
    std::wstring strName(kLeftoverPrefix);
    strName += szMiddle;
    strName += kLeftoverSuffix;
    return strName;
}

// Hex digits only, at most nMaxDigits of them, into n.
bool ParseHex(std::wstring_view text, size_t nMaxDigits, ULONGLONG& n) noexcept
{
    if (text.empty() || text.size() > nMaxDigits)
    {
        return false;
    }
    n = 0;
    for (const wchar_t c : text)
    {
        ULONGLONG nDigit = 0;
        if (c >= L'0' && c <= L'9')
        {
            nDigit = static_cast<ULONGLONG>(c - L'0');
        }
        else if (c >= L'a' && c <= L'f')
        {
            nDigit = static_cast<ULONGLONG>(c - L'a' + 10);
        }
        else if (c >= L'A' && c <= L'F')
        {
            nDigit = static_cast<ULONGLONG>(c - L'A' + 10);
        }
        else
        {
            return false;
        }
        n = n * 16 + nDigit;
    }
    return true;
}

// Who made a temporary copy of that name, or false when the name is not one.
// Copies of earlier versions carry no start: "~QVSCopy-" + process + copy + ".tmp".
bool ParseLeftoverName(std::wstring_view name, CopyMaker* pMaker) noexcept
{
    if (name.size() <= kLeftoverPrefix.size() + kLeftoverSuffix.size() ||
        !StartsWithNoCase(name, kLeftoverPrefix) || !EndsWithNoCase(name, kLeftoverSuffix))
    {
        return false;
    }
    std::wstring_view middle = name.substr(
        kLeftoverPrefix.size(), name.size() - kLeftoverPrefix.size() - kLeftoverSuffix.size());
    std::wstring_view fields[3];
    size_t nFields = 0;
    while (nFields < 3)
    {
        const size_t nDash = middle.find(L'-');
        fields[nFields++] = middle.substr(0, nDash);
        if (nDash == std::wstring_view::npos)
        {
            middle = {};
            break;
        }
        middle.remove_prefix(nDash + 1);
    }
    if (!middle.empty() || nFields < 2)
    {
        return false;
    }
    ULONGLONG nProcess = 0, nStart = 0, nCopy = 0;
    if (!ParseHex(fields[0], 8, nProcess) || !ParseHex(fields[nFields - 1], 8, nCopy) ||
        (nFields == 3 && !ParseHex(fields[1], 16, nStart)))
    {
        return false;
    }
    pMaker->dwProcessId = static_cast<DWORD>(nProcess);
    pMaker->bStartKnown = nFields == 3;
    pMaker->nStart = nStart;
    return true;
}

// A process that may still be copying: the one that made the copy, still
// running. Leftovers are cleared only while this process has no copy under way
// (before the list copy, and by the walk, which comes before the copies), so one
// of its own number is a leftover of an ended process too.
bool ProcessMayBeCopying(const CopyMaker& maker) noexcept
{
    if (maker.dwProcessId == GetCurrentProcessId())
    {
        return false;
    }
    const UniqueKernelHandle hProcess(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, maker.dwProcessId));
    if (!hProcess)
    {
        // A process that exists but is not ours to open may be copying.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    if (WaitForSingleObject(hProcess.get(), 0) != WAIT_TIMEOUT)
    {
        return false;
    }
    // Running, but perhaps another process that got the number later.
    return !maker.bStartKnown || ProcessStart(hProcess.get()) == maker.nStart;
}

// A file of the tree that a copy of an ended run left behind.
bool IsEndedRunLeftover(std::wstring_view name) noexcept
{
    CopyMaker maker;
    return ParseLeftoverName(name, &maker) && !ProcessMayBeCopying(maker);
}

DWORD LastErrorOrFailure() noexcept
{
    const DWORD dwError = GetLastError();
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

// The temporary file a copy to strDestination is written into first: beside it,
// named as copies' temporary files are.
std::wstring TemporaryPathFor(const std::wstring& strDestination)
{
    const size_t nSlash = strDestination.find_last_of(L"\\/");
    const std::wstring strFolder =
        nSlash == std::wstring::npos ? std::wstring() : strDestination.substr(0, nSlash + 1);
    return strFolder + NewLeftoverName();
}

// Replaces the destination with the finished temporary file in one step.
// ERROR_SUCCESS or the system's error code; on failure the temporary file is gone.
DWORD ReplaceWithTemporary(const std::wstring& strTempPath, const std::wstring& strDestination)
{
    const std::wstring strTemp = AfxLongPathForm(strTempPath);
    const std::wstring strDest = AfxLongPathForm(strDestination);
    constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(strTemp.c_str(), strDest.c_str(), kMoveFlags))
    {
        return ERROR_SUCCESS;
    }
    DWORD dwError = LastErrorOrFailure();
    // A read-only, hidden or system destination is not replaced as it is: clear
    // its attributes and try again; it keeps them if it stays.
    const DWORD dwOldAttributes = GetFileAttributesW(strDest.c_str());
    constexpr DWORD kBlocking =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (dwError == ERROR_ACCESS_DENIED && dwOldAttributes != INVALID_FILE_ATTRIBUTES &&
        (dwOldAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (dwOldAttributes & kBlocking) != 0 &&
        SetFileAttributesW(strDest.c_str(), FILE_ATTRIBUTE_NORMAL))
    {
        if (MoveFileExW(strTemp.c_str(), strDest.c_str(), kMoveFlags))
        {
            return ERROR_SUCCESS;
        }
        dwError = LastErrorOrFailure();
        constexpr DWORD kSettable = kBlocking | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                    FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        SetFileAttributesW(strDest.c_str(), dwOldAttributes & kSettable);
    }
    SCDiscardFile(strTemp);
    return dwError;
}

// The installation root, or empty text when the program's folder has too few
// levels to have one (then nothing can be copied safely).
std::wstring InstallationRoot()
{
    try
    {
        return GetAppRootFolder();
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
    return std::wstring();
}
} // namespace

// ---- SCFileIterator ----

SCFileIterator::SCFileIterator() = default;

SCFileIterator::~SCFileIterator() = default;

void SCFileIterator::SetRootFolder(const std::wstring& strFolder)
{
    m_strRootFolder = strFolder;
}

void SCFileIterator::Walk(FileListKind kind, SCProgressCallback pfnCallback, CWnd* pContext)
{
    StatusThreadGuard status(m_bStatusPopup);
    m_pStatusThread = status.Get();
    try
    {
        WalkFolder(kind, m_strRootFolder, pfnCallback, pContext);
    }
    catch (...)
    {
        m_pStatusThread = nullptr;
        throw;
    }
    m_pStatusThread = nullptr;
}

void SCFileIterator::WalkFolder(FileListKind kind, std::wstring strFolder,
                                SCProgressCallback pfnCallback, CWnd* pContext)
{
    // Loaded once per walk, and only when someone listens.
    std::wstring strReading;
    std::wstring strError;
    if (pfnCallback != nullptr)
    {
        strReading = SCResUString(IDS_READING_DIRECTORY);
        strError = SCResUString(IDS_ERROR);
    }

    // One open search per level of the tree, the innermost last: the walk meets a
    // folder's sub-tree before the folder's next entry. The levels are the folders
    // on the path from the root to the folder being searched.
    struct Level
    {
        CFileFind find;
        BOOL bMore = FALSE;
        std::wstring strPath;
        // The folder is a junction or symbolic link, or lies below one: only there
        // can the walk meet a folder it is already in.
        bool bLinked = false;
        // The folder's identity, taken when a loop has to be ruled out.
        bool bIdentityTaken = false;
        bool bIdentityKnown = false;
        AfxFileIdentity identity;
    };
    std::deque<Level> levels;
    const auto enter = [&levels](const std::wstring& strPath, bool bLinked)
    {
        Level& level = levels.emplace_back();
        level.bMore = level.find.FindFile(SearchPattern(strPath).c_str());
        if (!level.bMore)
        {
            // Missing or no access: nothing below it, and nothing more to say.
            levels.pop_back();
            return;
        }
        level.strPath = strPath;
        level.bLinked = bLinked;
    };
    // A folder reached through a link may be one of those the walk is in (a link
    // that leads back up the tree): entering it would never end.
    const auto isOwnAncestor = [&levels](const std::wstring& strPath)
    {
        AfxFileIdentity identity;
        if (!AfxGetFileIdentity(strPath, identity))
        {
            return false;
        }
        for (Level& level : levels)
        {
            if (!level.bIdentityTaken)
            {
                level.bIdentityTaken = true;
                level.bIdentityKnown = AfxGetFileIdentity(level.strPath, level.identity);
            }
            if (level.bIdentityKnown && level.identity == identity)
            {
                return true;
            }
        }
        return false;
    };
    // Meets the next file or folder of the tree; false at its end.
    const auto meet = [&levels, &enter, &isOwnAncestor](WalkItem& item)
    {
        while (!levels.empty())
        {
            Level& level = levels.back();
            if (!level.bMore)
            {
                levels.pop_back();
                continue;
            }
            level.bMore = level.find.FindNextFile();
            if (level.find.IsDots())
            {
                continue;
            }
            const WIN32_FIND_DATAW& data = level.find.GetFindData();
            if (wcscmp(data.cFileName, kLogName) == 0)
            {
                continue;
            }
            // What a copy of an ended run left behind goes now: the walk sees every
            // folder of the installation, so none stays longer than the next run.
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                IsEndedRunLeftover(data.cFileName))
            {
                SCDiscardFile(AfxLongPathForm(level.find.GetFilePath()));
                continue;
            }
            item.strPath = level.find.GetFilePath();
            item.bFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            item.state = item.bFolder ? WalkItem::State::Done : WalkItem::State::Waiting;
            if (item.bFolder)
            {
                // Folders kept elsewhere through a junction or symbolic link belong
                // to the installation like any other: their files are listed with
                // their own stamps.
                const bool bLinked =
                    level.bLinked || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                if (!bLinked || !isOwnAncestor(item.strPath))
                {
                    enter(item.strPath, bLinked);
                }
            }
            return true;
        }
        return false;
    };

    WalkOpenAhead ahead(kind);
    enter(strFolder, false);
    bool bMore = true;
    for (;;)
    {
        size_t nMet = 0;
        while (bMore && ahead.HasRoom())
        {
            bMore = meet(ahead.NextSlot());
            if (bMore)
            {
                ahead.Written();
                // Made known to the openers in small groups: fewer wake-ups.
                if (++nMet % 16 == 0)
                {
                    ahead.Publish();
                }
            }
        }
        ahead.Publish();
        if (ahead.Empty())
        {
            break;
        }
        WalkItem& item = ahead.Take();
        if (item.fault)
        {
            std::rethrow_exception(item.fault);
        }
        if (item.bFolder)
        {
            if (pfnCallback != nullptr)
            {
                pfnCallback(strReading + item.strPath + L"\r\n", pContext);
            }
        }
        else if (item.pEntry != nullptr)
        {
            AddListEntry(kind, std::move(item.pEntry), pContext);
        }
        else if (item.bOpenFailed && pfnCallback != nullptr)
        {
            pfnCallback(strError + item.strErrorText + L"\r\n", pContext);
        }
        ahead.Release();
    }
}

void SCFileIterator::CreateFolderPath(const std::wstring& strPath)
{
    const size_t nColon = strPath.find(L":\\");
    if (nColon == std::wstring::npos)
    {
        return;
    }
    for (size_t n = strPath.find(L'\\', nColon + 2); n != std::wstring::npos;
         n = strPath.find(L'\\', n + 1))
    {
        // Without its final backslash the level is the same folder in every path form.
        CreateDirectoryW(AfxLongPathForm(strPath.substr(0, n)).c_str(), nullptr);
    }
}

namespace
{
// The first failure of the running CopyFiles: the system's code, and the
// program's own words for it when the system has none; and the files copied.
DWORD g_dwFirstCopyError = ERROR_SUCCESS;
std::wstring g_strFirstCopyReason;
unsigned g_nFilesCopied = 0;

void NoteCopyFailure(DWORD dwError, const std::wstring& strReason = {})
{
    if (g_dwFirstCopyError == ERROR_SUCCESS)
    {
        g_dwFirstCopyError = dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
        g_strFirstCopyReason = strReason;
    }
}

// One planned copy, and how it went.
struct CopyJob
{
    enum class Kind
    {
        Copy,
        Refused,     // its destination would not lie inside the installation
        NotInRecord, // checked against a record that does not name it
    };
    Kind kind = Kind::Copy;
    std::wstring strSource; // as the list spells it: a case-sensitive server finds it at once
    std::wstring strShown;  // in capitals, as file names ignore case
    std::wstring strFolder; // the list entry's folder
    std::wstring strTarget;
    std::wstring strDestination;
    std::wstring strRefusal;
    bool bChecked = false;
    SCReleaseRecord::Item expected;
    SCCopyResult result;
};

// What CopyFiles and its copying thread share; whichever lets go last frees it.
// The thread may be left behind in a call to a share that stopped answering, so
// it owns everything it touches through this.
struct CopyRun
{
    std::vector<CopyJob> jobs;
    bool bHashing = false;
    std::mutex mutex;
    // The jobs below nDone are finished; nReading is the one whose file is read
    // now. Moved by the copying thread under mutex.
    size_t nDone = 0;
    size_t nReading = 0;
    // Set under mutex when CopyFiles stops waiting: nothing is replaced after it,
    // so no file changes once the run has recorded its outcome.
    bool bAbandoned = false;
};

// "Error!.." + the file + that it does not match the release.
std::wstring NotReleaseText(const std::wstring& strShown)
{
    return AfxFormatStrings(SCResUString(IDS_NOT_RELEASE_FILE), {strShown});
}

std::wstring ChangedText(const std::wstring& strShown)
{
    return AfxFormatStrings(SCResUString(IDS_CHANGED_WHILE_COPIED), {strShown});
}

// The copying thread's side of the jobs: each copy is started in a slot of the
// copier and finished (its hash checked, its destination replaced) only when
// the slot is wanted again or the plan is done, so that the next file is read
// while the hash of this one is taken. Jobs finish in the list's order.
class JobRunner
{
public:
    JobRunner(CopyRun& run, std::atomic<ULONGLONG>& lastSign)
        : m_run(run), m_lastSign(lastSign), m_copier(run.bHashing)
    {
    }

    // False once the run is abandoned: nothing more is done.
    bool Run()
    {
        for (size_t n = 0; n < m_run.jobs.size(); ++n)
        {
            CopyJob& job = m_run.jobs[n];
            size_t nSlot = kNoSlot;
            std::wstring strTemp;
            if (job.kind == CopyJob::Kind::Copy)
            {
                nSlot = m_nStarted++ % m_copier.Slots();
                // The slot's earlier copy, and all before it, finish first.
                while (std::any_of(m_started.begin(), m_started.end(),
                                   [nSlot](const Started& s) { return s.nSlot == nSlot; }))
                {
                    if (!FinishOldest())
                    {
                        return false;
                    }
                }
                {
                    const std::lock_guard<std::mutex> lock(m_run.mutex);
                    m_run.nReading = n;
                }
                strTemp = Start(job, nSlot);
            }
            m_started.push_back({n, nSlot, std::move(strTemp)});
        }
        while (!m_started.empty())
        {
            if (!FinishOldest())
            {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr size_t kNoSlot = ~size_t{0};
    struct Started
    {
        size_t nJob;
        size_t nSlot;
        std::wstring strTemp;
    };

    // The copy's temporary file.
    std::wstring Start(CopyJob& job, size_t nSlot)
    {
        // Each target folder is made ready once: most entries share their folder.
        if (m_prepared.insert(UpperCase(job.strTarget)).second)
        {
            SCFileIterator finder;
            if (!finder.FindFile((job.strTarget + L"*.*").c_str()))
            {
                finder.CreateFolderPath(job.strTarget);
            }
            finder.Close();
        }
        std::wstring strTemp = TemporaryPathFor(job.strDestination);
        m_copier.Start(nSlot, job.strSource, strTemp, job.bChecked ? &job.expected : nullptr,
                       m_lastSign);
        return strTemp;
    }

    bool FinishOldest()
    {
        const Started started = std::move(m_started.front());
        m_started.pop_front();
        CopyJob& job = m_run.jobs[started.nJob];
        SCCopyResult result;
        const bool bCopy = started.nSlot != kNoSlot;
        if (bCopy)
        {
            result = m_copier.Finish(started.nSlot);
        }
        const std::lock_guard<std::mutex> lock(m_run.mutex);
        if (m_run.bAbandoned)
        {
            if (bCopy && result.outcome == SCCopyOutcome::Copied)
            {
                SCDiscardFile(AfxLongPathForm(started.strTemp));
            }
            return false;
        }
        if (bCopy && result.outcome == SCCopyOutcome::Copied)
        {
            const DWORD dwError = ReplaceWithTemporary(started.strTemp, job.strDestination);
            if (dwError != ERROR_SUCCESS)
            {
                result.outcome = SCCopyOutcome::Failed;
                result.dwError = dwError;
            }
        }
        job.result = result;
        ++m_run.nDone;
        return true;
    }

    CopyRun& m_run;
    std::atomic<ULONGLONG>& m_lastSign;
    SCFileCopy m_copier;
    std::unordered_set<std::wstring> m_prepared;
    std::deque<Started> m_started;
    size_t m_nStarted = 0;
};

// The copying thread: every job in the list's order. Never throws.
void CopyJobs(CopyRun& run, std::atomic<ULONGLONG>& lastSign) noexcept
{
    try
    {
        JobRunner runner(run, lastSign);
        runner.Run();
    }
    catch (...)
    {
        // Out of memory: the jobs not finished are reported as such.
    }
}

// Reports one finished job; TRUE when its file was copied.
BOOL ReportCopy(const CopyJob& job, SCProgressCallback pfnCallback, CWnd* pContext)
{
    BOOL bCopied = FALSE;
    try
    {
        std::wstring strMessage;
        switch (job.kind)
        {
        case CopyJob::Kind::Refused:
            NoteCopyFailure(ERROR_BAD_PATHNAME);
            strMessage = SCResUString(IDS_ERROR) +
                         AfxFormatStrings(SCResUString(IDS_NOT_COPIED),
                                          {job.strSource, job.strRefusal}) +
                         L"\r\n";
            break;
        case CopyJob::Kind::NotInRecord:
            // Not in the record: nothing is known that it could match.
            NoteCopyFailure(SCFileIterator::kNotReleaseError, NotReleaseText(job.strShown));
            strMessage = SCResUString(IDS_ERROR) + NotReleaseText(job.strShown) + L"\r\n";
            break;
        case CopyJob::Kind::Copy:
            switch (job.result.outcome)
            {
            case SCCopyOutcome::Copied:
                bCopied = TRUE;
                ++g_nFilesCopied;
                strMessage = SCResUString(IDS_COPYING) + job.strShown;
                break;
            case SCCopyOutcome::NotRelease:
                NoteCopyFailure(SCFileIterator::kNotReleaseError, NotReleaseText(job.strShown));
                strMessage = SCResUString(IDS_ERROR) + NotReleaseText(job.strShown) + L"\r\n";
                break;
            case SCCopyOutcome::Changed:
                NoteCopyFailure(SCFileIterator::kChangedError, ChangedText(job.strShown));
                strMessage = SCResUString(IDS_ERROR) + ChangedText(job.strShown) + L"\r\n";
                break;
            case SCCopyOutcome::Failed:
                NoteCopyFailure(job.result.dwError);
                strMessage = SCResUString(IDS_ERROR) + SystemMessageText(job.result.dwError);
                break;
            }
            break;
        }
        if (pfnCallback != nullptr)
        {
            pfnCallback(strMessage, pContext);
        }
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
    return bCopied;
}

// The jobs of every entry with a target, in the list's order.
std::vector<CopyJob> PlanCopies(const FileList& list, const SCReleaseRecord* pRecord)
{
    std::vector<CopyJob> jobs;
    const std::wstring strRoot = InstallationRoot();
    for (const std::unique_ptr<FileListEntry>& pEntry : list)
    {
        const FileListEntry& entry = *pEntry;
        if (entry.target.empty())
        {
            continue;
        }
        CopyJob& job = jobs.emplace_back();
        job.strSource = entry.folder + entry.name;
        job.strShown = UpperCase(job.strSource);
        job.strFolder = entry.folder;
        job.strTarget = entry.target;
        job.strDestination = entry.target + entry.name;
        job.strRefusal = SCFileIterator::CheckCopyDestination(strRoot, entry.target, entry.name);
        if (!job.strRefusal.empty())
        {
            job.kind = CopyJob::Kind::Refused;
        }
        else if (pRecord != nullptr)
        {
            const SCReleaseRecord::Item* pExpected = pRecord->Find(entry.folder, entry.name);
            if (pExpected == nullptr)
            {
                job.kind = CopyJob::Kind::NotInRecord;
            }
            else
            {
                job.bChecked = true;
                job.expected = *pExpected;
            }
        }
    }
    return jobs;
}
} // namespace

DWORD SCFileIterator::GetFirstCopyError() noexcept
{
    return g_dwFirstCopyError;
}

std::wstring SCFileIterator::GetFirstCopyReason()
{
    return g_strFirstCopyReason;
}

unsigned SCFileIterator::GetFilesCopied() noexcept
{
    return g_nFilesCopied;
}

std::wstring SCFileIterator::StalledReason(std::wstring strFolder, const std::wstring& strFile,
                                           DWORD dwStallMs)
{
    while (strFolder.size() > 1 && strFolder.back() == L'\\')
    {
        strFolder.pop_back();
    }
    return AfxFormatStrings(SCResUString(IDS_RELEASE_STALLED),
                            {strFolder, strFile, std::to_wstring(dwStallMs / 1000)});
}

BOOL SCFileIterator::CopyFiles(FileList* pList, SCProgressCallback pfnCallback, CWnd* pWnd,
                               const SCReleaseRecord* pRecord, DWORD dwStallMs)
{
    g_dwFirstCopyError = ERROR_SUCCESS;
    g_strFirstCopyReason.clear();
    g_nFilesCopied = 0;
    // Without a list nothing planned was copied: FALSE.
    BOOL bResult = FALSE;
    try
    {
        if (pList == nullptr)
        {
            SC_THROW(SC_NO_CODE);
        }
        bResult = TRUE;
        StatusThreadGuard status(true);
        auto pRun = std::make_shared<CopyRun>();
        pRun->bHashing = pRecord != nullptr;
        pRun->jobs = PlanCopies(*pList, pRecord);

        // The files are copied on a thread of their own, so that a share that stops
        // answering never stops the dialog from answering; each finished copy is
        // reported here, in the list's order.
        size_t nReported = 0;
        const auto reportUpTo = [&](size_t nUpTo)
        {
            for (; nReported < nUpTo; ++nReported)
            {
                if (!ReportCopy(pRun->jobs[nReported], pfnCallback, pWnd))
                {
                    bResult = FALSE;
                }
            }
        };
        const auto finished = [&pRun]
        {
            const std::lock_guard<std::mutex> lock(pRun->mutex);
            return pRun->nDone;
        };
        const HWND hWnd = AfxGetSafeHwnd(pWnd);
        const bool bEnded = AfxRunWithDeadline(
            [pRun](std::atomic<ULONGLONG>& lastSign) { CopyJobs(*pRun, lastSign); }, dwStallMs,
            [&]
            {
                reportUpTo(finished());
                if (hWnd != nullptr)
                {
                    AfxPumpWindowMessages(hWnd);
                }
            });
        size_t nDone = 0;
        size_t nReading = 0;
        {
            const std::lock_guard<std::mutex> lock(pRun->mutex);
            pRun->bAbandoned = true;
            nDone = pRun->nDone;
            nReading = std::max(pRun->nReading, nDone);
        }
        reportUpTo(nDone);
        if (nDone < pRun->jobs.size())
        {
            // Left behind in a call to the share, or out of memory: the rest of the
            // release is not installed now; the next start tries again.
            bResult = FALSE;
            // The file that was being read when the share went silent.
            const CopyJob& job = pRun->jobs[std::min(nReading, pRun->jobs.size() - 1)];
            if (!bEnded)
            {
                const std::wstring strReason = StalledReason(job.strFolder, job.strShown, dwStallMs);
                NoteCopyFailure(kStalledError, strReason);
                if (pfnCallback != nullptr)
                {
                    pfnCallback(SCResUString(IDS_ERROR) + strReason + L"\r\n", pWnd);
                }
            }
            else
            {
                NoteCopyFailure(ERROR_NOT_ENOUGH_MEMORY);
                if (pfnCallback != nullptr)
                {
                    pfnCallback(SCResUString(IDS_ERROR) + SystemMessageText(ERROR_NOT_ENOUGH_MEMORY),
                                pWnd);
                }
            }
        }
        if (hWnd != nullptr)
        {
            pWnd->PostMessage(WM_LAUNCH_CLIENT, 0, 0);
        }
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
    catch (const std::bad_alloc&)
    {
        bResult = FALSE;
        NoteCopyFailure(ERROR_NOT_ENOUGH_MEMORY);
    }
    return bResult;
}

BOOL SCFileIterator::CopyOneFile(const std::wstring& strSource, const std::wstring& strDestination,
                                 SCProgressCallback pfnCallback, CWnd* pContext)
{
    CopyJob job;
    job.strSource = strSource;
    job.strShown = strSource;
    std::atomic<ULONGLONG> lastSign{0};
    const std::wstring strTemp = TemporaryPathFor(strDestination);
    SCFileCopy copier(false);
    job.result = copier.Copy(strSource, strTemp, nullptr, lastSign);
    if (job.result.outcome == SCCopyOutcome::Copied)
    {
        const DWORD dwError = ReplaceWithTemporary(strTemp, strDestination);
        if (dwError != ERROR_SUCCESS)
        {
            job.result.outcome = SCCopyOutcome::Failed;
            job.result.dwError = dwError;
        }
    }
    return ReportCopy(job, pfnCallback, pContext);
}

std::wstring SCFileIterator::CheckCopyDestination(const std::wstring& strRoot,
                                                  const std::wstring& strTarget,
                                                  const std::wstring& strName)
{
    // A refusal is never the empty text, which means "accepted", even when the
    // string table cannot be read.
    const auto refuse = [&strTarget, &strName](UINT nId, std::initializer_list<std::wstring> args)
    {
        const std::wstring strText = AfxFormatStrings(SCResUString(nId), args);
        return strText.empty() ? L"\"" + strTarget + strName + L"\"" : strText;
    };
    if (strRoot.empty())
    {
        return refuse(IDS_REFUSED_NO_ROOT, {});
    }
    if (!IsPlainName(strName))
    {
        return refuse(IDS_REFUSED_NOT_PLAIN, {strName});
    }
    if (IsDeviceName(strName))
    {
        return refuse(IDS_REFUSED_DEVICE, {strName});
    }
    const std::wstring strPrefix = strRoot.back() == L'\\' ? strRoot : strRoot + L'\\';
    const auto outside = [&] { return refuse(IDS_REFUSED_OUTSIDE, {strTarget, strRoot}); };
    if (!StartsWithNoCase(strTarget, strPrefix))
    {
        return outside();
    }
    // Below the root every element must be a plain name: ".." would climb out.
    const std::wstring_view rest = std::wstring_view(strTarget).substr(strPrefix.size());
    size_t nStart = 0;
    while (nStart < rest.size())
    {
        const size_t nEnd = std::min(rest.find(L'\\', nStart), rest.size());
        const std::wstring_view element = rest.substr(nStart, nEnd - nStart);
        if (!element.empty() && (!IsPlainName(element) || IsDeviceName(element)))
        {
            return outside();
        }
        nStart = nEnd + 1;
    }
    if (strTarget.back() != L'\\')
    {
        // The name would run into the folder's last element: another file than listed.
        return refuse(IDS_REFUSED_NO_BACKSLASH, {strTarget});
    }
    return std::wstring();
}

std::wstring SCFileIterator::NewTemporaryPath(const std::wstring& strDestination)
{
    return TemporaryPathFor(strDestination);
}

DWORD SCFileIterator::ReplaceWithTemporaryFile(const std::wstring& strTempPath,
                                               const std::wstring& strDestination)
{
    return ReplaceWithTemporary(strTempPath, strDestination);
}

bool SCFileIterator::IsCopyLeftoverName(const std::wstring& strName)
{
    CopyMaker maker;
    return ParseLeftoverName(strName, &maker);
}

int SCFileIterator::RemoveCopyLeftovers(const std::wstring& strFolder)
{
    std::wstring strPattern = strFolder;
    if (!strPattern.empty() && strPattern.back() != L'\\')
    {
        strPattern += L'\\';
    }
    strPattern += kLeftoverPrefix;
    strPattern += L'*';

    int nRemoved = 0;
    CFileFind finder;
    BOOL bMore = finder.FindFile(strPattern.c_str());
    while (bMore)
    {
        bMore = finder.FindNextFile();
        CopyMaker maker;
        // The pattern also matches short names: the long name decides.
        if (finder.IsDirectory() ||
            !ParseLeftoverName(finder.GetFindData().cFileName, &maker) ||
            ProcessMayBeCopying(maker))
        {
            continue;
        }
        const std::wstring strPath = AfxLongPathForm(finder.GetFilePath());
        SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(strPath.c_str()))
        {
            ++nRemoved;
        }
    }
    return nRemoved;
}

// ---- SCRecurseThread ----

SCRecurseThread::SCRecurseThread() : m_dlgStatus(IDD_STATUS) {}

SCRecurseThread::~SCRecurseThread() = default;

BOOL SCRecurseThread::InitInstance()
{
    m_bAutoDelete = TRUE;
    m_pMainWnd = &m_dlgStatus;
    if (m_dlgStatus.Create(IDD_STATUS, nullptr))
    {
        m_dlgStatus.CenterWindow();
        ::SetForegroundWindow(m_dlgStatus.GetSafeHwnd());
    }
    // Even without its popup the thread waits for its quit message, so the
    // thread that started it always finds it there to take one.
    return TRUE;
}

int SCRecurseThread::ExitInstance()
{
    m_dlgStatus.DestroyWindow();
    m_pMainWnd = nullptr;
    return CWinThread::ExitInstance();
}
