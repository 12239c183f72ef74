#pragma once
// The hot-update dialog: the program's one window. It opens the log, asks whether
// the release changed, lists the installation, runs the update, records the
// outcome, and starts QVS.exe on WM_LAUNCH_CLIENT.

#include "framework/AfxHandle.h"
#include "framework/AfxWnd.h"
#include "lib/FileIterator.h"

#include <string>
#include <vector>

class CQVSCliUpdateDlg : public CDialog
{
public:
    explicit CQVSCliUpdateDlg(CWnd* pParent = nullptr);
    ~CQVSCliUpdateDlg() override;

    BOOL OnInitDialog() override;

    // The everyday start, before any window exists: sets up the services and the
    // log, checks for an update and, with nothing to update and no argument, starts
    // QVS.exe. True when QVS.exe was started so: the dialog is then never shown.
    // Otherwise the dialog, when it comes up, goes on from where this stopped.
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

    // The update driver, in the order the dialog calls them.
    BOOL CheckForUpdate();
    BOOL BuildClientList();
    BOOL RunUpdate();
    void RecordUpdateResult(BOOL bSucceeded);

    // Remembers the first failure that marred the current run.
    void NoteFailure(DWORD dwError) noexcept;

protected:
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;
    void OnUnhandledException(CException* e) noexcept override;

private:
    void OnPaint();
    void OnDestroy();
    void OnRun();
    LRESULT OnLaunchClient(WPARAM wParam, LPARAM lParam);

    // The steps that need no window, once per dialog: services, log, arguments,
    // check. A failure leaves its reason in m_strStartFailure.
    void PrepareStart();
    bool InitServicesAndLog();
    void ReleaseServices() noexcept;
    void ReportListFailure(FileListKind kind, const std::wstring& strFolder);
    void ReportFailure(const std::wstring& strWhat);

    SCFileIterator m_iterator;
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
    DWORD m_dwFirstError = ERROR_SUCCESS;

    // What PrepareStart found.
    bool m_bPrepared = false;
    bool m_bServicesUp = false;
    bool m_bForced = false;
    BOOL m_bDue = FALSE;
    std::wstring m_strStartFailure;
};

// The walk's and the copy's reporter: shows the message in the dialog (the
// context) and lets the dialog's window handle what waits for it. Silent without
// a dialog.
LRESULT ProgressCallback(const std::wstring& strMessage, CWnd* pContext);
