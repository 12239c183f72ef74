#include "lib/FileIterator.h"

#include "framework/AfxWinApp.h"
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

std::atomic<SCCopyFileFn> g_pfnCopyFile{&::CopyFileW};

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

std::wstring NewLeftoverName()
{
    static std::atomic<unsigned> s_nCopies{0};
    wchar_t szMiddle[32] = {};
    swprintf(szMiddle, 32, L"%lx-%x", GetCurrentProcessId(), s_nCopies++);
    std::wstring strName(kLeftoverPrefix);
    strName += szMiddle;
    strName += kLeftoverSuffix;
    return strName;
}

// The process number in a leftover's name, or false when the name is not one.
bool ParseLeftoverName(std::wstring_view name, DWORD* pProcessId)
{
    if (name.size() <= kLeftoverPrefix.size() + kLeftoverSuffix.size() ||
        !StartsWithNoCase(name, kLeftoverPrefix) || !EndsWithNoCase(name, kLeftoverSuffix))
    {
        return false;
    }
    const std::wstring_view middle = name.substr(
        kLeftoverPrefix.size(), name.size() - kLeftoverPrefix.size() - kLeftoverSuffix.size());
    const size_t nDash = middle.find(L'-');
    if (nDash == 0 || nDash == std::wstring_view::npos || nDash + 1 == middle.size() || nDash > 8 ||
        middle.size() - nDash - 1 > 8)
    {
        return false;
    }
    DWORD dwProcessId = 0;
    for (size_t i = 0; i < middle.size(); ++i)
    {
        const wchar_t c = middle[i];
        const bool bHex =
            (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (i == nDash)
        {
            continue;
        }
        if (!bHex)
        {
            return false;
        }
        if (i < nDash)
        {
            const DWORD nDigit = c <= L'9'   ? static_cast<DWORD>(c - L'0')
                                 : c <= L'F' ? static_cast<DWORD>(c - L'A' + 10)
                                             : static_cast<DWORD>(c - L'a' + 10);
            dwProcessId = dwProcessId * 16 + nDigit;
        }
    }
    *pProcessId = dwProcessId;
    return true;
}

// A process that may still be copying: this one, or one that still runs.
bool ProcessMayBeCopying(DWORD dwProcessId) noexcept
{
    if (dwProcessId == GetCurrentProcessId())
    {
        return true;
    }
    const UniqueKernelHandle hProcess(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, dwProcessId));
    if (!hProcess)
    {
        // A process that exists but is not ours to open may be copying.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    return WaitForSingleObject(hProcess.get(), 0) == WAIT_TIMEOUT;
}

void DiscardFile(const std::wstring& strPath) noexcept
{
    SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(strPath.c_str());
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
    DiscardFile(strTemp);
    return dwError;
}

// Whether the copy in strTemp is the file the release record describes: its
// size first (cheap), then its SHA-256. ERROR_SUCCESS, kNotReleaseError, or the
// system's error code when the copy cannot be read.
DWORD CheckCopy(const std::wstring& strTemp, const SCReleaseRecord::Item& expected)
{
    // Nobody may write it while it is checked: what is hashed is what the size says.
    const UniqueFile file(CreateFileW(strTemp.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
    {
        return LastErrorOrFailure();
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size))
    {
        return LastErrorOrFailure();
    }
    if (static_cast<ULONGLONG>(size.QuadPart) != expected.nSize)
    {
        return SCFileIterator::kNotReleaseError;
    }
    SCSha256::Digest digest{};
    const DWORD dwError = SCSha256::HashOpenFile(file.get(), digest, nullptr);
    if (dwError != ERROR_SUCCESS)
    {
        return dwError;
    }
    return digest == expected.digest ? ERROR_SUCCESS : SCFileIterator::kNotReleaseError;
}

// Copies source into a temporary file beside the destination, then replaces the
// destination with it in one step. ERROR_SUCCESS or the system's error code;
// on failure the destination is as it was and the temporary file is gone. With
// pExpected the copy must match it before it replaces anything; *pbNotRelease
// tells when it did not.
DWORD CopyReplacing(const std::wstring& strSource, const std::wstring& strDestination,
                    const SCReleaseRecord::Item* pExpected, bool* pbNotRelease)
{
    *pbNotRelease = false;
    const std::wstring strTemp = AfxLongPathForm(TemporaryPathFor(strDestination));
    if (!g_pfnCopyFile.load()(AfxLongPathForm(strSource).c_str(), strTemp.c_str(), FALSE))
    {
        const DWORD dwError = LastErrorOrFailure();
        DiscardFile(strTemp);
        return dwError;
    }
    if (pExpected != nullptr)
    {
        const DWORD dwCheck = CheckCopy(strTemp, *pExpected);
        if (dwCheck != ERROR_SUCCESS)
        {
            *pbNotRelease = dwCheck == SCFileIterator::kNotReleaseError;
            DiscardFile(strTemp);
            return dwCheck;
        }
    }
    return ReplaceWithTemporary(strTemp, strDestination);
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

void SetCopyFileFunctionForTesting(SCCopyFileFn pfn) noexcept
{
    g_pfnCopyFile = pfn != nullptr ? pfn : &::CopyFileW;
}

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
// What the last CopyOneFile failed with, and the first failure of the running CopyFiles.
DWORD g_dwLastCopyError = ERROR_SUCCESS;
DWORD g_dwFirstCopyError = ERROR_SUCCESS;

void NoteCopyFailure(DWORD dwError) noexcept
{
    if (g_dwFirstCopyError == ERROR_SUCCESS)
    {
        g_dwFirstCopyError = dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
    }
}

// "Error!.." + the file + that it does not match the release.
std::wstring NotReleaseMessage(const std::wstring& strSource)
{
    return SCResUString(IDS_ERROR) +
           AfxFormatStrings(SCResUString(IDS_NOT_RELEASE_FILE), {strSource}) + L"\r\n";
}

// Copies the file and reports it under the name strShown.
BOOL CopyReported(const std::wstring& strSource, const std::wstring& strShown,
                  const std::wstring& strDestination, SCProgressCallback pfnCallback,
                  CWnd* pContext, const SCReleaseRecord::Item* pExpected)
{
    BOOL bResult = FALSE;
    try
    {
        bool bNotRelease = false;
        const DWORD dwError = CopyReplacing(strSource, strDestination, pExpected, &bNotRelease);
        g_dwLastCopyError = dwError;
        bResult = dwError == ERROR_SUCCESS ? TRUE : FALSE;
        if (pfnCallback != nullptr)
        {
            const std::wstring strMessage =
                bResult       ? SCResUString(IDS_COPYING) + strShown
                : bNotRelease ? NotReleaseMessage(strShown)
                              : SCResUString(IDS_ERROR) + SystemMessageText(dwError);
            pfnCallback(strMessage, pContext);
        }
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
    return bResult;
}
} // namespace

DWORD SCFileIterator::GetFirstCopyError() noexcept
{
    return g_dwFirstCopyError;
}

BOOL SCFileIterator::CopyFiles(FileList* pList, SCProgressCallback pfnCallback, CWnd* pWnd,
                               const SCReleaseRecord* pRecord)
{
    g_dwFirstCopyError = ERROR_SUCCESS;
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
        const std::wstring strRoot = InstallationRoot();
        // Target folders already made and cleared of leftovers (upper case).
        std::unordered_set<std::wstring> prepared;

        for (const std::unique_ptr<FileListEntry>& pEntry : *pList)
        {
            const FileListEntry& entry = *pEntry;
            if (entry.target.empty())
            {
                continue;
            }
            std::wstring strSource = entry.folder + entry.name;
            const std::wstring strRefusal = CheckCopyDestination(strRoot, entry.target, entry.name);
            if (!strRefusal.empty())
            {
                bResult = FALSE;
                NoteCopyFailure(ERROR_BAD_PATHNAME);
                if (pfnCallback != nullptr)
                {
                    pfnCallback(SCResUString(IDS_ERROR) +
                                    AfxFormatStrings(SCResUString(IDS_NOT_COPIED),
                                                     {strSource, strRefusal}) +
                                    L"\r\n",
                                pWnd);
                }
                continue;
            }
            const SCReleaseRecord::Item* pExpected = nullptr;
            if (pRecord != nullptr)
            {
                pExpected = pRecord->Find(entry.folder, entry.name);
                if (pExpected == nullptr)
                {
                    // Not in the record: nothing is known that it could match.
                    bResult = FALSE;
                    NoteCopyFailure(kNotReleaseError);
                    if (pfnCallback != nullptr)
                    {
                        pfnCallback(NotReleaseMessage(UpperCase(strSource)), pWnd);
                    }
                    continue;
                }
            }
            // Each target folder is made ready once: most entries share their folder.
            if (prepared.insert(UpperCase(entry.target)).second)
            {
                SCFileIterator finder;
                if (!finder.FindFile((entry.target + L"*.*").c_str()))
                {
                    finder.CreateFolderPath(entry.target);
                }
                finder.Close();
                RemoveCopyLeftovers(entry.target);
            }
            const std::wstring strDestination = entry.target + entry.name;
            // Shown in capitals, as file names ignore case; read as the list spells
            // it, which a case-sensitive server finds at once.
            if (!CopyReported(strSource, UpperCase(strSource), strDestination, pfnCallback, pWnd,
                              pExpected))
            {
                bResult = FALSE;
                NoteCopyFailure(g_dwLastCopyError);
            }
        }
        if (AfxGetSafeHwnd(pWnd) != nullptr)
        {
            pWnd->PostMessage(WM_LAUNCH_CLIENT, 0, 0);
        }
    }
    catch (SCException* e)
    {
        SC_HANDLE(e);
    }
    return bResult;
}

BOOL SCFileIterator::CopyOneFile(const std::wstring& strSource, const std::wstring& strDestination,
                                 SCProgressCallback pfnCallback, CWnd* pContext)
{
    return CopyReported(strSource, strSource, strDestination, pfnCallback, pContext, nullptr);
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
    DWORD dwProcessId = 0;
    return ParseLeftoverName(strName, &dwProcessId);
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
        DWORD dwProcessId = 0;
        // The pattern also matches short names: the long name decides.
        if (finder.IsDirectory() ||
            !ParseLeftoverName(finder.GetFindData().cFileName, &dwProcessId) ||
            ProcessMayBeCopying(dwProcessId))
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
