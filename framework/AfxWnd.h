#pragma once
// Windows and dialogs: a thin owner of an HWND and a dialog class run modally or
// modeless from a template of the program's resources. Messages reach the C++
// object through one dialog procedure; no exception ever leaves it.

#include "framework/AfxObject.h"

#include <string>

class CException;

class CWnd : public CObject
{
public:
    CWnd() = default;
    ~CWnd() override = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const noexcept { return m_hWnd; }

    // The child control with this ID, or null.
    HWND GetDlgItem(int nID) const noexcept;
    BOOL ShowWindow(int nCmdShow) noexcept;
    BOOL IsIconic() const noexcept;
    // Centres on the alternate owner, else on the owner, else on the screen's work area.
    void CenterWindow(HWND hAlternateOwner = nullptr) noexcept;
    BOOL PostMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const noexcept;
    LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const noexcept;
    void SetIcon(HICON hIcon, BOOL bBigIcon) noexcept;
    void GetClientRect(LPRECT lpRect) const noexcept;

    std::wstring GetDlgItemText(int nID) const;
    void SetDlgItemText(int nID, const std::wstring& strText) noexcept;

    // Appends text at the end of an edit control without rewriting what it holds.
    virtual void AppendDlgItemText(int nID, const std::wstring& strText);

    HWND m_hWnd = nullptr;
};

// The window of a CWnd that may be absent.
inline HWND AfxGetSafeHwnd(const CWnd* pWnd) noexcept
{
    return pWnd != nullptr ? pWnd->m_hWnd : nullptr;
}

// What a dialog procedure returns for a message its dialog handled with lResult:
// some messages return the value directly, the others through DWLP_MSGRESULT.
INT_PTR AfxDialogResult(HWND hDlg, UINT uMsg, LRESULT lResult) noexcept;

// Lets a window handle what waits for it while its thread works: every message
// for the window, then every paint of the thread's windows (so that its controls
// paint themselves too).
void AfxPumpWindowMessages(HWND hWnd) noexcept;

// Appends text at the end of an edit control (its text limit raised as needed).
void AfxAppendEditText(HWND hEdit, const std::wstring& strText) noexcept;
// Inserts text at the start of an edit control.
void AfxPrependEditText(HWND hEdit, const std::wstring& strText) noexcept;

class CDialog : public CWnd
{
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr) noexcept;
    ~CDialog() override;

    // Runs the dialog modally; the value given to EndDialog, or -1 when it could not be made.
    virtual INT_PTR DoModal();
    // Creates the dialog modeless; FALSE when it could not be made.
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    BOOL DestroyWindow() noexcept;
    void EndDialog(int nResult) noexcept;

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

protected:
    // Derived dialogs handle their messages here: true when handled, lResult its result.
    virtual bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);
    // An exception caught at the window procedure; the default destroys it.
    virtual void OnUnhandledException(CException* e) noexcept;

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam);
    bool m_bModal = false;
};
