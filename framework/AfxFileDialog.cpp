#include "framework/AfxFileDialog.h"

#include "framework/AfxException.h"
#include "framework/AfxWinApp.h"

namespace
{
// The window property that leads from the dialog's window to its C++ object. The
// platform's dialog keeps its own data elsewhere (DWLP_USER is not ours here).
constexpr wchar_t kObjectProperty[] = L"QVS.CFileDialog";
} // namespace

CFileDialog::CFileDialog(BOOL bOpenFileDialog, DWORD dwFlags, CWnd* pParentWnd, DWORD dwSize)
    : m_bOpenFileDialog(bOpenFileDialog)
{
    m_ofn.lStructSize = dwSize != 0 ? dwSize : static_cast<DWORD>(sizeof(OPENFILENAMEW));
    m_ofn.hwndOwner = AfxGetSafeHwnd(pParentWnd);
    m_ofn.hInstance = AfxGetResourceHandle();
    m_ofn.Flags = dwFlags | OFN_EXPLORER | OFN_ENABLEHOOK;
    m_ofn.lpfnHook = &CFileDialog::HookProc;
    m_ofn.lpstrFile = m_szFileName.data();
    m_ofn.nMaxFile = static_cast<DWORD>(m_szFileName.size());
}

INT_PTR CFileDialog::DoModal()
{
    // The hook finds this object through the structure it is given with WM_INITDIALOG.
    m_ofn.lCustData = reinterpret_cast<LPARAM>(this);
    const BOOL bResult =
        m_bOpenFileDialog ? ::GetOpenFileNameW(&m_ofn) : ::GetSaveFileNameW(&m_ofn);
    m_hWnd = nullptr;
    return bResult ? IDOK : IDCANCEL;
}

std::wstring CFileDialog::GetPathName() const
{
    return m_ofn.lpstrFile != nullptr ? std::wstring(m_ofn.lpstrFile) : std::wstring();
}

BOOL CFileDialog::OnInitDialog()
{
    return TRUE;
}

bool CFileDialog::OnMessage(UINT, WPARAM, LPARAM, LRESULT&)
{
    return false;
}

void CFileDialog::OnUnhandledException(CException* e) noexcept
{
    e->Delete();
}

UINT_PTR CALLBACK CFileDialog::HookProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CFileDialog* pDlg = nullptr;
    if (uMsg == WM_INITDIALOG)
    {
        // lParam is the OPENFILENAMEW that DoModal passed to the system.
        const auto* pOfn = reinterpret_cast<const OPENFILENAMEW*>(lParam);
        pDlg = pOfn != nullptr ? reinterpret_cast<CFileDialog*>(pOfn->lCustData) : nullptr;
        if (pDlg == nullptr)
        {
            return TRUE;
        }
        pDlg->m_hWnd = hDlg;
        ::SetPropW(hDlg, kObjectProperty, pDlg);
    }
    else
    {
        pDlg = static_cast<CFileDialog*>(::GetPropW(hDlg, kObjectProperty));
    }
    if (pDlg == nullptr)
    {
        return 0;
    }
    // After a failed WM_INITDIALOG the system places the focus itself.
    UINT_PTR uResult = uMsg == WM_INITDIALOG ? TRUE : 0;
    // Nothing may cross the hook: the system's dialog code is below us.
    try
    {
        uResult = pDlg->Dispatch(uMsg, wParam, lParam);
    }
    catch (CException* e)
    {
        pDlg->OnUnhandledException(e);
    }
    catch (...)
    {
    }
    if (uMsg == WM_NCDESTROY)
    {
        ::RemovePropW(hDlg, kObjectProperty);
        pDlg->m_hWnd = nullptr;
    }
    return uResult;
}

UINT_PTR CFileDialog::Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    LRESULT lResult = 0;
    if (OnMessage(uMsg, wParam, lParam, lResult))
    {
        return static_cast<UINT_PTR>(AfxDialogResult(m_hWnd, uMsg, lResult));
    }
    if (uMsg == WM_INITDIALOG)
    {
        return static_cast<UINT_PTR>(OnInitDialog());
    }
    return 0;
}
