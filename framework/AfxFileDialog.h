#pragma once
// The platform's file dialog (open or save) run modally through the common
// dialog functions. A hook procedure hands the dialog's messages to the C++
// object; no exception ever leaves it. Without OFN_EXPLORER the hook's window is
// the dialog itself (the old-style dialog, which may use a template of ours); in
// the Explorer style it is the child dialog the system makes for the hook.

#include "framework/AfxWnd.h"

#include <commdlg.h>

#include <array>
#include <string>

class CFileDialog : public CWnd
{
public:
    // The defaults of m_ofn: the given parent, the program's resource module, a
    // result buffer, and OFN_EXPLORER and the hook on top of dwFlags; no default
    // extension, file name or filter. dwSize 0 is the full structure size.
    explicit CFileDialog(BOOL bOpenFileDialog,
                         DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                         CWnd* pParentWnd = nullptr, DWORD dwSize = 0);
    ~CFileDialog() override = default;

    // Runs the dialog: IDOK when the user accepted a name, else IDCANCEL (also
    // when the dialog could not be shown; CommDlgExtendedError tells why).
    virtual INT_PTR DoModal();

    // The full path the dialog returned.
    std::wstring GetPathName() const;

    // Set up by the constructor; callers may adjust it before DoModal. The hook
    // and lCustData are the framework's.
    OPENFILENAMEW m_ofn{};

protected:
    // The dialog has been set up by the platform. TRUE lets the system set the
    // focus; FALSE when the focus has been set here.
    virtual BOOL OnInitDialog();
    // Derived dialogs handle their messages here: true when handled (the platform's
    // dialog then leaves the message alone), lResult its result.
    virtual bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);
    // An exception caught at the hook procedure; the default destroys it.
    virtual void OnUnhandledException(CException* e) noexcept;

    BOOL m_bOpenFileDialog;

private:
    static UINT_PTR CALLBACK HookProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    UINT_PTR Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam);

    std::array<wchar_t, 1024> m_szFileName{};
};
