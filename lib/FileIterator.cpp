#include "lib/FileIterator.h"

#include "framework/AfxWinApp.h"
#include "lib/CopyLeftover.h"
#include "lib/FileCopy.h"
#include "lib/InstallJournal.h"
#include "lib/InstallSwitch.h"
#include "lib/NameFold.h"
#include "lib/ReleaseInstall.h"
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

std::wstring SearchPattern(const std::wstring& strFolder)
{
    if (!strFolder.empty() && strFolder.back() == L'\\')
    {
        return strFolder + L"*.*";
    }
    return strFolder + L"\\*.*";
}

// The lists, the record beside the server list and the install's journal are the
// update's own files.
bool IsListFileName(std::wstring_view name) noexcept
{
    return EqualNoCase(name, kServerListName) || EqualNoCase(name, kClientListName) ||
           EqualNoCase(name, kReleaseRecordName) || EqualNoCase(name, kInstallJournalName);
}

// Whether a status popup is up: the walk and the copy then show no other.
std::atomic<bool> g_bStatusPopupUp{false};

// The longest the work waits for the popup to come or to go (it takes some tens
// of milliseconds under Wine, less on Windows).
constexpr DWORD kPopupWaitMs = 2000;

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

// ---- SCStatusPopup ----

SCStatusPopup::SCStatusPopup(bool bShow) noexcept
{
    if (!bShow || g_bStatusPopupUp.exchange(true))
    {
        return;
    }
    m_pThread = static_cast<SCRecurseThread*>(
        AfxBeginThread(RUNTIME_CLASS(SCRecurseThread), THREAD_PRIORITY_NORMAL, 0, 0, nullptr));
    // The thread lives until it is told to end, so its members can be read now. It
    // deletes itself once it has the quit message: its pointer is forgotten then.
    m_nThreadId = m_pThread != nullptr ? m_pThread->m_nThreadID : 0;
    if (m_nThreadId == 0)
    {
        m_pThread = nullptr;
        g_bStatusPopupUp = false;
        return;
    }
    HANDLE hThread = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), m_pThread->m_hThread.get(), GetCurrentProcess(),
                        &hThread, SYNCHRONIZE, FALSE, 0))
    {
        m_hThread.reset(hThread);
    }
    if (m_pThread->m_hUp)
    {
        AfxWaitAnsweringSentMessages(m_pThread->m_hUp.get(), kPopupWaitMs);
    }
}

SCStatusPopup::~SCStatusPopup()
{
    End();
}

void SCStatusPopup::End() noexcept
{
    if (m_nThreadId == 0)
    {
        return;
    }
    PostThreadMessageW(m_nThreadId, WM_QUIT, 0, 0);
    if (m_hThread)
    {
        AfxWaitAnsweringSentMessages(m_hThread.get(), kPopupWaitMs);
    }
    m_hThread.reset();
    m_nThreadId = 0;
    m_pThread = nullptr;
    g_bStatusPopupUp = false;
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
    SCStatusPopup status(m_bStatusPopup);
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
                SCIsEndedRunLeftover(data.cFileName))
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
// The figures of the last CopyFiles, for the dialog and the report.
DWORD g_dwFirstCopyError = ERROR_SUCCESS;
std::wstring g_strFirstCopyReason;
unsigned g_nFilesCopied = 0;
ULONGLONG g_nCopiedBytes = 0;
ULONGLONG g_nShareBytes = 0;
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

ULONGLONG SCFileIterator::GetBytesCopied() noexcept
{
    return g_nCopiedBytes;
}

ULONGLONG SCFileIterator::GetBytesRead() noexcept
{
    return g_nShareBytes;
}

BOOL SCFileIterator::CopyFiles(FileList* pList, SCProgressCallback pfnCallback, CWnd* pWnd,
                               const SCReleaseRecord* pRecord, DWORD dwStallMs, bool bSignedStamps)
{
    g_dwFirstCopyError = ERROR_SUCCESS;
    g_strFirstCopyReason.clear();
    g_nFilesCopied = 0;
    g_nCopiedBytes = 0;
    g_nShareBytes = 0;
    // Without a list nothing planned was copied: FALSE.
    BOOL bResult = FALSE;
    try
    {
        if (pList == nullptr)
        {
            SC_THROW(SC_NO_CODE);
        }
        SCStatusPopup status;
        SCReleaseInstall install(InstallationRoot(), pfnCallback, pWnd, pRecord, dwStallMs,
                                 bSignedStamps);
        bResult = install.Install(*pList);
        g_dwFirstCopyError = install.GetFirstError();
        g_strFirstCopyReason = install.GetFirstReason();
        g_nFilesCopied = install.GetFilesInstalled();
        g_nCopiedBytes = install.GetCopiedBytes();
        g_nShareBytes = install.GetShareBytes();
        if (AfxGetSafeHwnd(pWnd) != nullptr)
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
        g_dwFirstCopyError = ERROR_NOT_ENOUGH_MEMORY;
    }
    return bResult;
}

BOOL SCFileIterator::CopyOneFile(const std::wstring& strSource, const std::wstring& strDestination,
                                 SCProgressCallback pfnCallback, CWnd* pContext)
{
    std::atomic<ULONGLONG> lastSign{0};
    const std::wstring strTemp = SCLeftoverPathBeside(strDestination);
    SCFileCopy copier(false);
    SCCopyResult result = copier.Copy(strSource, strTemp, nullptr, lastSign);
    if (result.outcome == SCCopyOutcome::Copied)
    {
        result.dwError = SCInstallSwitch::ReplaceWithStaged(strTemp, strDestination);
    }
    else if (result.dwError == ERROR_SUCCESS)
    {
        result.dwError = ERROR_FILE_INVALID;
    }
    const bool bCopied = result.dwError == ERROR_SUCCESS;
    if (pfnCallback != nullptr)
    {
        pfnCallback(bCopied ? SCResUString(IDS_COPYING) + strSource
                            : SCResUString(IDS_ERROR) +
                                  AfxSystemErrorText(result.dwError,
                                                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)),
                    pContext);
    }
    return bCopied ? TRUE : FALSE;
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

// ---- SCRecurseThread ----

SCRecurseThread::SCRecurseThread()
    : m_dlgStatus(IDD_STATUS), m_hUp(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

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
    if (m_hUp)
    {
        SetEvent(m_hUp.get());
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
