#pragma once
// The two long pieces of work of an update run and the popup that shows the
// program is busy while they run:
// - the directory walk, which turns every file below a root folder into an entry
//   of a list slot;
// - the copy of every file that the comparison marked with a target folder,
//   missing folders created on the way, each file replaced in one step so that a
//   failed copy leaves the installed file as it was;
// - the status popup, shown by a thread of its own from the start to the end of
//   each walk and each copy.
// Both kinds of work report one message at a time through a progress callback.

#include "framework/AfxFileFind.h"
#include "framework/AfxThread.h"
#include "framework/AfxWnd.h"
#include "lib/File.h"
#include "lib/ReleaseRecord.h"

#include <string>

// Receives each progress message and the context given to the work (the
// hot-update dialog), unchanged. The result is ignored.
using SCProgressCallback = LRESULT (*)(const std::wstring& strMessage, CWnd* pContext);

class SCRecurseThread;

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

    // Copies every entry of the list that has a target folder into that folder,
    // creating missing folders, then posts WM_LAUNCH_CLIENT to pWnd. TRUE when
    // every planned copy succeeded. An entry that would be written outside the
    // installation root is refused and counts as failed. Raises without a list.
    // With a release record every file is checked against the record's line
    // for the entry's folder and name (exactly as the list gives them) before
    // it replaces the installed file; a file the record does not name, or whose
    // copy differs from its line in size or SHA-256, is not installed and counts
    // as failed (kNotReleaseError). Without one (null) files are not checked.
    // The files are copied on a thread of their own while this one reports each
    // and keeps pWnd answering. A copy that gives no sign of life for dwStallMs
    // (the share stopped answering) is abandoned with the rest of the plan: no
    // file is replaced after that, and the run counts as failed (kStalledError).
    static BOOL CopyFiles(FileList* pList, SCProgressCallback pfnCallback, CWnd* pWnd,
                          const SCReleaseRecord* pRecord = nullptr, DWORD dwStallMs = INFINITE);
    // Copies one file over its destination: into a temporary file beside the
    // destination first, which then replaces the destination in one step, so a
    // copy that fails leaves the destination as it was. The destination takes
    // the source's attributes and last-write time; a read-only, hidden or system
    // destination is replaced too. Reports "Copying..." + source or "Error!.." +
    // the system's text.
    static BOOL CopyOneFile(const std::wstring& strSource, const std::wstring& strDestination,
                            SCProgressCallback pfnCallback, CWnd* pContext);

    // The errors a copy counts with when the system has no words for its failure:
    // the file does not match the release record; it changed while it was read;
    // the share stopped answering.
    static constexpr DWORD kNotReleaseError = ERROR_FILE_CORRUPT;
    static constexpr DWORD kChangedError = ERROR_FILE_INVALID;
    static constexpr DWORD kStalledError = ERROR_SEM_TIMEOUT;

    // The system error code of the first planned copy that failed in the last
    // CopyFiles (ERROR_BAD_PATHNAME for a refused destination, or one of the
    // three above); 0 when none failed. For the three above, the reason in the
    // program's own words (the text of its "Error!.." line); empty otherwise.
    static DWORD GetFirstCopyError() noexcept;
    static std::wstring GetFirstCopyReason();
    // The files the last CopyFiles installed.
    static unsigned GetFilesCopied() noexcept;
    // "The release folder <folder> stopped answering: <file> made no progress for
    // <n> seconds."
    static std::wstring StalledReason(std::wstring strFolder, const std::wstring& strFile,
                                      DWORD dwStallMs);

    // Why a file called strName copied into strTarget would not land inside
    // strRoot (the installation root, without a final backslash); empty when it
    // would. Names must be plain file names: no separator, no ':', no "." or "..",
    // no device name; the target must lie below the root without "." or ".."
    // elements and end with a backslash.
    static std::wstring CheckCopyDestination(const std::wstring& strRoot,
                                             const std::wstring& strTarget,
                                             const std::wstring& strName);

    // A copy in two steps, for a source that may stop answering half-way: a new
    // temporary file beside the destination, to be written by the caller; then the
    // replacement of the destination by the finished temporary file in one step
    // (read-only, hidden and system destinations too). ERROR_SUCCESS or the system's
    // error code; the temporary file is gone either way.
    static std::wstring NewTemporaryPath(const std::wstring& strDestination);
    static DWORD ReplaceWithTemporaryFile(const std::wstring& strTempPath,
                                          const std::wstring& strDestination);

    // Temporary files of copies that never finished (their process was killed)
    // are recognisable by name: "~QVSCopy-" + process and copy numbers + ".tmp".
    static bool IsCopyLeftoverName(const std::wstring& strName);
    // Removes such files from one folder (given with or without a final
    // backslash) unless the process that made them still runs; the number removed.
    // Only while this process has no copy under way. The walk does the same in
    // every folder it lists: what an ended run left is never listed.
    static int RemoveCopyLeftovers(const std::wstring& strFolder);

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
};
