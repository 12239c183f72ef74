#pragma once
// The directory walk, which turns every file below a root folder into an entry of
// a list slot, the face of the install (CopyFiles: lib/ReleaseInstall.h does the
// work), and the popup that shows the program is busy while they run, from a
// thread of its own. Both report one message at a time through a progress callback.

#include "framework/AfxFileFind.h"
#include "framework/AfxThread.h"
#include "framework/AfxWnd.h"
#include "lib/File.h"
#include "lib/Progress.h"
#include "lib/ReleaseInstall.h"
#include "lib/ReleaseRecord.h"

#include <string>

class SCRecurseThread;

// The status popup, up from construction to End (or destruction) on a thread of
// its own. While one is up, the walk and the copy show it instead of making their
// own: a run that holds one from its walk to the end of its copy makes the window
// once, not twice (under Wine each costs the popup's thread some 50 ms of the two
// cores the walk and the copy work on).
// The popup is on screen when the constructor returns, and gone when End returns:
// its window is made and destroyed while this thread waits, never while it works
// with its own windows. Under Wine two threads doing so at once can stop both for
// good (they share one X connection, and libX11 1.8 can leave each waiting for a
// lock or a reply that the other holds up). Each wait is bounded, so a popup that
// does not come or go holds nobody up for long.
class SCStatusPopup
{
public:
    // Shows the popup when bShow and none is up yet; otherwise it does nothing.
    explicit SCStatusPopup(bool bShow = true) noexcept;
    ~SCStatusPopup();
    SCStatusPopup(const SCStatusPopup&) = delete;
    SCStatusPopup& operator=(const SCStatusPopup&) = delete;

    // The popup's thread; null when this one showed none.
    SCRecurseThread* Get() const noexcept { return m_pThread; }
    // Ends the popup's thread; once only.
    void End() noexcept;

private:
    SCRecurseThread* m_pThread = nullptr;
    DWORD m_nThreadId = 0;
    // A handle of our own to the popup's thread: the thread object deletes itself,
    // and its handle with it, as the thread ends.
    UniqueKernelHandle m_hThread;
};

class SCFileIterator : public CFileFind
{
public:
    SCFileIterator();
    ~SCFileIterator() override;

    // The folder whose tree Walk lists, without a final backslash.
    void SetRootFolder(const std::wstring& strFolder);

    // Lists every file below the root folder into the kind's list slot, showing
    // the status popup meanwhile. Each folder is reported ("Reading directory..."),
    // each file that cannot be opened too ("Error!.."); folders named
    // QVSCliUpdate.log, the two list files and the release record are left out.
    void Walk(FileListKind kind, SCProgressCallback pfnCallback, CWnd* pContext);
    // The walk of one folder's tree, depth-first in the order the file system
    // returns entries. Folders that are junctions or symbolic links are reported
    // but not entered. Deep trees use heap memory, not the call stack.
    void WalkFolder(FileListKind kind, std::wstring strFolder, SCProgressCallback pfnCallback,
                    CWnd* pContext);

    // Creates every missing folder of a path that begins with a drive ("C:\"),
    // from the drive's top down, up to its last backslash. Failures are ignored.
    void CreateFolderPath(const std::wstring& strPath);

    // Installs the release: every entry of the list that has a target folder is
    // copied into that folder, whole or not at all (lib/ReleaseInstall.h), then
    // WM_LAUNCH_CLIENT is posted to pWnd. TRUE when the release was installed.
    // Raises without a list. With a release record every file is checked against
    // the record's line for the entry's folder and name (exactly as the list gives
    // them) before anything is replaced; without one (null) files are not checked.
    // A call on the share that gives no sign of life for dwStallMs is abandoned,
    // and nothing is replaced. With bSignedStamps each file takes the list's stamp.
    static BOOL CopyFiles(FileList* pList, SCProgressCallback pfnCallback, CWnd* pWnd,
                          const SCReleaseRecord* pRecord = nullptr, DWORD dwStallMs = INFINITE,
                          bool bSignedStamps = false);
    // Copies one file over its destination: into a temporary file beside the
    // destination first, which then replaces the destination in one step, so a
    // copy that fails leaves the destination as it was. The destination takes
    // the source's attributes and last-write time; a read-only, hidden or system
    // destination is replaced too. Reports "Copying..." + source or "Error!.." +
    // the system's text.
    static BOOL CopyOneFile(const std::wstring& strSource, const std::wstring& strDestination,
                            SCProgressCallback pfnCallback, CWnd* pContext);

    // The system error code of the first failure of the last CopyFiles
    // (ERROR_BAD_PATHNAME for a refused destination, or one of SCReleaseInstall's
    // own codes); 0 when none failed. For SCReleaseInstall's codes, the reason in
    // the program's own words (the text of its "Error!.." line); empty otherwise.
    static DWORD GetFirstCopyError() noexcept;
    static std::wstring GetFirstCopyReason();
    // The files the last CopyFiles installed.
    static unsigned GetFilesCopied() noexcept;
    // The bytes of the files the last CopyFiles staged, and the bytes it read from
    // the share (SCReleaseInstall::GetCopiedBytes, GetShareBytes).
    static ULONGLONG GetBytesCopied() noexcept;
    static ULONGLONG GetBytesRead() noexcept;

    // Why a file called strName copied into strTarget would not land inside
    // strRoot (the installation root, without a final backslash); empty when it
    // would. Names must be plain file names: no separator, no ':', no "." or "..",
    // no device name; the target must lie below the root without "." or ".."
    // elements and end with a backslash.
    static std::wstring CheckCopyDestination(const std::wstring& strRoot,
                                             const std::wstring& strTarget,
                                             const std::wstring& strName);

    // Walk shows the status popup unless turned off (programs without windows).
    void EnableStatusPopup(bool bEnable) noexcept { m_bStatusPopup = bEnable; }

    std::wstring m_strRootFolder;
    // The status thread of the Walk that runs; null otherwise.
    SCRecurseThread* m_pStatusThread = nullptr;

private:
    bool m_bStatusPopup = true;
};

// The status popup's thread: shows dialog template 532 modeless, without
// parent, centred on the screen, and serves it until WM_QUIT is posted to it.
// Started by run-time class; deletes itself when it ends.
class SCRecurseThread : public CWinThread
{
    DECLARE_DYNCREATE(SCRecurseThread)
public:
    SCRecurseThread();
    ~SCRecurseThread() override;

    BOOL InitInstance() override;
    int ExitInstance() override;

    CDialog m_dlgStatus;
    // Set once InitInstance has shown the popup, or has found it cannot.
    UniqueKernelHandle m_hUp;
};
