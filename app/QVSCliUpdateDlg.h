#pragma once
// The hot-update dialog: the program's one window. It opens the log, asks whether
// the release changed, lists the installation, runs the update, records the
// outcome, and starts QVS.exe on WM_LAUNCH_CLIENT.

#include "framework/AfxHandle.h"
#include "framework/AfxWnd.h"
#include "lib/FailureReason.h"
#include "lib/DesktopReport.h"
#include "lib/FileIterator.h"
#include "lib/Miscellaneous.h"
#include "lib/ReleaseRecord.h"
#include "lib/ReleaseTrust.h"
#include "lib/Time.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class CQVSCliUpdateDlg : public CDialog
{
public:
    explicit CQVSCliUpdateDlg(CWnd* pParent = nullptr);
    ~CQVSCliUpdateDlg() override;

    BOOL OnInitDialog() override;

    // The everyday start, before any window exists: sets up the services, takes
    // the installation's lock, opens the log and, unless forced, checks for an
    // update. With nothing to do it starts QVS.exe and returns true: the dialog
    // is then never shown. Otherwise the dialog, when it comes up, goes on from
    // where this stopped.
    bool StartWithoutWindow();

    // Puts the message at the top of the text box and at the end of the log file.
    void AddLogLine(const std::wstring& strMessage);
    // Lines appended to the text box (the walk's entry lines) wait until the box is
    // read: see m_pendingBottom.
    void AppendDlgItemText(int nID, const std::wstring& strText) override;
    // Writes the batched messages into the text box now, and the waiting entry lines
    // too when bEntryLines.
    void FlushTextBox(bool bEntryLines = false);
    // Writes the batched messages when they have waited long enough.
    void FlushTextBoxIfDue();
    // Lets the dialog's window handle what waits for it while work goes on.
    void PumpMessages() noexcept;

    // The update driver, in the order the dialog calls them.
    BOOL CheckForUpdate();
    BOOL BuildClientList();
    BOOL RunUpdate();
    void RecordUpdateResult(BOOL bSucceeded);

    // Remembers the first failure that marred the current run: a system error
    // code, or the program's own text when no code tells why.
    void NoteFailure(DWORD dwError) noexcept;
    void NoteFailure(const std::wstring& strReason);

protected:
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;
    void OnUnhandledException(CException* e) noexcept override;

private:
    // What the check found out about the release list on the share.
    enum class Release
    {
        Unknown,  // not asked yet
        Found,    // there, with its time stamp
        Missing,  // not there, or the folder cannot be reached
        NoAnswer, // the folder did not answer within the deadline
    };

    void OnPaint();
    void OnDestroy();
    void OnRun();
    LRESULT OnLaunchClient(WPARAM wParam, LPARAM lParam);

    // The steps that need no window, once per dialog: services, lock, log,
    // arguments, and the check unless the run is forced. A failure leaves its
    // reason in m_strStartFailure.
    void PrepareStart();
    bool InitServicesAndLog();
    void OpenLog();
    // An install that a start left half-way (killed, or the machine stopped) is
    // finished or put back first, under the lock, and the log says which. When it
    // cannot be, the start runs no update.
    void FinishInterruptedInstall();
    void ReleaseServices() noexcept;
    // Asks the share for the release list, waiting no longer than the deadline.
    void ProbeRelease(bool bPump);
    // The release list is seen: its copy is taken into the installation root and
    // the run is recorded as started. False when the run cannot go on.
    bool TakeRelease();
    // A release list over kMaxListBytes (nBytes, as the share gave it) is refused
    // before a byte of it is copied: the run fails, nothing is written. False.
    bool RefuseList(ULONGLONG nBytes);
    // With a ReleaseKey, the copy of the release list counts only once the release's
    // signed record vouches for it (kept in m_pTrustedRecord for the run); a
    // refused one ends the run and starts QVS.exe. True when the copy may be taken.
    bool TrustListBeforeTaking(const std::wstring& strListCopy);
    // The run is recorded as started: the next start runs the release again
    // unless this run records that it succeeded.
    void RecordRunStarted();
    // The run's work is over: the outcome is recorded, the lock released and,
    // after a failure before the copy, the dialog waits for the user only when the
    // user has not already waited for this release (or forced the run); otherwise
    // QVS.exe is started.
    void FinishRun(BOOL bSucceeded, bool bLaunchPending);
    // Loads the release's record for the list the run installs, waiting no longer
    // than the stall deadline; null when the share stopped answering
    // (m_strStalled says so). Without a record that belongs to the list, its state
    // says why, and strNotVerified says so for the log.
    std::shared_ptr<const SCReleaseRecord> LoadReleaseRecord(const std::wstring& strListPath,
                                                             std::wstring& strNotVerified);
    // With a ReleaseKey (QVS.ini or policy), the rule of signed releases (lib/ReleaseTrust.h)
    // on the record and the copy plan, just before the copy: an accepted release is
    // recorded as begun; a refused one is reported as the run's failure, and QVS.exe
    // is started without waiting for the user. True when the copy may begin.
    bool TrustRelease(const SCReleaseRecord& record, const FileList& plan);
    // The time stamp of the release's list, as "FailedReleaseListTime" records it.
    std::wstring ReleaseListTime() const;
    // Says why nothing was updated (log and event log) and starts QVS.exe.
    void LaunchWithoutUpdate(const std::wstring& strWhy);
    void ReportListFailure(FileListKind kind, const std::wstring& strFolder);
    void ReportFailure(const std::wstring& strWhat);
    // Inside a catch: notes why the run ends, whatever was thrown, and hands the
    // framework's exceptions to the handler with this file and the given line.
    void NoteCaught(DWORD nLine) noexcept;
    // "The release folder ... did not answer within ... seconds."
    std::wstring NotAnsweringText() const;
    // The reason QVS.ini records for a failed run.
    std::wstring FailureReason() const;

    // ---- The desktop report (QVS.ini ReportFolder) ----
    // What the report of this start says, once its outcome is known.
    void DueReport(SCDesktopReport::Outcome outcome, const std::wstring& strReason);
    // Writes the due report once, after the client was started (or when it will
    // not be): a report folder that fails or does not answer only costs a log line.
    void WriteReport() noexcept;

    SCFileIterator m_iterator;
    // The status popup, up from the walk to the end of the copy.
    std::optional<SCStatusPopup> m_popup;
    HICON m_hIcon;
    UniqueFile m_logFile;
    // The text box, found once: every message and entry line goes to it, and under
    // Wine each look-up of a control asks the window server (about 50 us).
    HWND m_hLog = nullptr;

    // Text waiting for the text box: messages for its top (newest first), written
    // every so often, and entry lines for its bottom, in pieces of moderate size.
    // The entry lines go into the box only when the dialog stays open for the user:
    // while the work goes on the box keeps its top in view, so nobody sees them, and
    // a multi-line edit control takes about as long to lay out a line (under Wine
    // 0.15 ms or more) as the walk takes to list its file.
    std::wstring m_strPendingTop;
    std::vector<std::wstring> m_pendingBottom;
    // When batched messages are next written (GetTickCount64).
    ULONGLONG m_nNextFlush = 0;

    // One update of the installation at a time, held only while the work runs.
    SCInstallationLock m_lock;

    // What PrepareStart found.
    bool m_bPrepared = false;
    bool m_bServicesUp = false;
    bool m_bForced = false;
    bool m_bLaunchOnly = false;
    std::wstring m_strStartFailure;
    std::wstring m_strRoot;
    std::wstring m_strSource;
    DWORD m_dwDeadlineMs = 0;
    // How long a call on the release folder during the run may make no progress.
    DWORD m_dwStallMs = 0;

    // What the check found.
    Release m_release = Release::Unknown;
    SCDateTime m_dtRelease{1};
    // Why the check did not find the list (when it answered without it).
    DWORD m_dwProbeError = ERROR_SUCCESS;
    bool m_bLocalFound = false;
    SCDateTime m_dtLocal{1};
    // The release list is newer than its copy in the root (or there is none).
    bool m_bNewRelease = false;
    // The size of the release list on the share, as the check found it.
    ULONGLONG m_nReleaseListBytes = 0;
    // The rule of signed releases as QVS.ini sets it, and the record that vouched
    // for the list as it was taken.
    SCReleaseTrustSettings m_trust;
    std::shared_ptr<const SCReleaseRecord> m_pTrustedRecord;
    // The runs of this release so far, this one included.
    unsigned m_nRunOfRelease = 0;

    // The run.
    bool m_bInventorySaved = false;
    // An "Error!.." line is in the box: the user has been told what went wrong.
    bool m_bErrorShown = false;
    std::wstring m_strErrorPrefix;
    SCFailureReason m_failure;
    // Why the run stopped waiting for the share, when it did.
    std::wstring m_strStalled;

    // The report: due once the outcome is known, written once.
    ULONGLONG m_nStartTick = GetTickCount64();
    bool m_bRetriesSpent = false;
    bool m_bReportDue = false;
    SCDesktopReport m_report;
};

// Texts the dialog's files share: a text of the string table (from the string module,
// or from the running program itself when that module could not be opened), the
// "Error!.." prefix, and the path of the server list in a folder.
std::wstring ProgramText(UINT nId);
std::wstring ErrorPrefix();
std::wstring ServerListPath(const std::wstring& strFolder);

// The walk's and the copy's reporter: shows the message in the dialog (the
// context) and lets the dialog's window handle what waits for it. Silent without
// a dialog.
LRESULT ProgressCallback(const std::wstring& strMessage, CWnd* pContext);
