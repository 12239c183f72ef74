#include "framework/AfxWnd.h"

#include "framework/AfxException.h"
#include "framework/AfxWinApp.h"

#include <vector>

HWND CWnd::GetDlgItem(int nID) const noexcept
{
    return m_hWnd != nullptr ? ::GetDlgItem(m_hWnd, nID) : nullptr;
}

BOOL CWnd::ShowWindow(int nCmdShow) noexcept
{
    return ::ShowWindow(m_hWnd, nCmdShow);
}

BOOL CWnd::IsIconic() const noexcept
{
    return ::IsIconic(m_hWnd);
}

void CWnd::CenterWindow(HWND hAlternateOwner) noexcept
{
    HWND hCenter = hAlternateOwner != nullptr ? hAlternateOwner : ::GetWindow(m_hWnd, GW_OWNER);
    RECT area{};
    if (hCenter != nullptr && ::IsWindowVisible(hCenter) && !::IsIconic(hCenter))
    {
        ::GetWindowRect(hCenter, &area);
    }
    else
    {
        MONITORINFO mi{};
        mi.cbSize = sizeof mi;
        ::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &mi);
        area = mi.rcWork;
    }
    RECT rc{};
    ::GetWindowRect(m_hWnd, &rc);
    const int width = rc.right - rc.left;
    const int height = rc.bottom - rc.top;
    const int x = area.left + (area.right - area.left - width) / 2;
    const int y = area.top + (area.bottom - area.top - height) / 2;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::PostMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) const noexcept
{
    return ::PostMessageW(m_hWnd, uMsg, wParam, lParam);
}

LRESULT CWnd::SendMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) const noexcept
{
    return ::SendMessageW(m_hWnd, uMsg, wParam, lParam);
}

void CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) noexcept
{
    SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
}

void CWnd::GetClientRect(LPRECT lpRect) const noexcept
{
    ::GetClientRect(m_hWnd, lpRect);
}

std::wstring CWnd::GetDlgItemText(int nID) const
{
    const HWND hItem = GetDlgItem(nID);
    if (hItem == nullptr)
    {
        return std::wstring();
    }
    const int nLength = ::GetWindowTextLengthW(hItem);
    std::vector<wchar_t> buffer(static_cast<size_t>(nLength) + 1, L'\0');
    const int nCopied = ::GetWindowTextW(hItem, buffer.data(), nLength + 1);
    return std::wstring(buffer.data(), static_cast<size_t>(nCopied > 0 ? nCopied : 0));
}

void CWnd::SetDlgItemText(int nID, const std::wstring& strText) noexcept
{
    ::SetDlgItemTextW(m_hWnd, nID, strText.c_str());
}

void CWnd::AppendDlgItemText(int nID, const std::wstring& strText)
{
    const HWND hItem = GetDlgItem(nID);
    if (hItem != nullptr)
    {
        AfxAppendEditText(hItem, strText);
    }
}

namespace
{
// An edit control takes at most its limit: raise it before text would be cut.
void EnsureEditRoom(HWND hEdit, size_t nMore) noexcept
{
    const size_t nLength = static_cast<size_t>(::GetWindowTextLengthW(hEdit));
    const size_t nLimit = static_cast<size_t>(::SendMessageW(hEdit, EM_GETLIMITTEXT, 0, 0));
    if (nLength + nMore >= nLimit)
    {
        size_t nNew = nLimit < 0x8000 ? 0x8000 : nLimit;
        while (nNew <= nLength + nMore)
        {
            nNew *= 2;
        }
        ::SendMessageW(hEdit, EM_SETLIMITTEXT, nNew, 0);
    }
}
} // namespace

void AfxPumpWindowMessages(HWND hWnd) noexcept
{
    MSG msg;
    while (PeekMessageW(&msg, hWnd, 0, 0, PM_REMOVE))
    {
        DispatchMessageW(&msg);
    }
    while (PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
    {
        DispatchMessageW(&msg);
    }
}

void AfxAppendEditText(HWND hEdit, const std::wstring& strText) noexcept
{
    EnsureEditRoom(hEdit, strText.size());
    const int nEnd = ::GetWindowTextLengthW(hEdit);
    ::SendMessageW(hEdit, EM_SETSEL, static_cast<WPARAM>(nEnd), nEnd);
    ::SendMessageW(hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(strText.c_str()));
}

void AfxPrependEditText(HWND hEdit, const std::wstring& strText) noexcept
{
    EnsureEditRoom(hEdit, strText.size());
    ::SendMessageW(hEdit, EM_SETSEL, 0, 0);
    ::SendMessageW(hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(strText.c_str()));
}

INT_PTR AfxDialogResult(HWND hDlg, UINT uMsg, LRESULT lResult) noexcept
{
    switch (uMsg)
    {
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
        return static_cast<INT_PTR>(lResult);
    default:
        ::SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, lResult);
        return TRUE;
    }
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) noexcept
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd)
{
}

CDialog::~CDialog()
{
    if (!m_bModal && m_hWnd != nullptr)
    {
        DestroyWindow();
    }
}

INT_PTR CDialog::DoModal()
{
    m_bModal = true;
    const INT_PTR nResult = ::DialogBoxParamW(
        AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), AfxGetSafeHwnd(m_pParentWnd),
        &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_bModal = false;
    m_hWnd = nullptr;
    return nResult;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd)
{
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;
    m_bModal = false;
    const HWND hWnd = ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(nIDTemplate),
                                           AfxGetSafeHwnd(pParentWnd), &CDialog::DialogProc,
                                           reinterpret_cast<LPARAM>(this));
    return hWnd != nullptr ? TRUE : FALSE;
}

BOOL CDialog::DestroyWindow() noexcept
{
    if (m_hWnd == nullptr)
    {
        return FALSE;
    }
    return ::DestroyWindow(m_hWnd);
}

void CDialog::EndDialog(int nResult) noexcept
{
    if (m_bModal)
    {
        ::EndDialog(m_hWnd, nResult);
    }
    else
    {
        DestroyWindow();
    }
}

BOOL CDialog::OnInitDialog()
{
    return TRUE;
}

void CDialog::OnOK()
{
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

bool CDialog::OnMessage(UINT, WPARAM, LPARAM, LRESULT&)
{
    return false;
}

void CDialog::OnUnhandledException(CException* e) noexcept
{
    e->Delete();
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CDialog* pDlg = nullptr;
    if (uMsg == WM_INITDIALOG)
    {
        pDlg = reinterpret_cast<CDialog*>(lParam);
        pDlg->m_hWnd = hDlg;
        ::SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
    }
    else
    {
        pDlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hDlg, DWLP_USER));
    }
    if (pDlg == nullptr)
    {
        return FALSE;
    }
    // Nothing may cross the window procedure: the system's code is below us.
    try
    {
        return pDlg->Dispatch(uMsg, wParam, lParam);
    }
    catch (CException* e)
    {
        pDlg->OnUnhandledException(e);
    }
    catch (...)
    {
    }
    return FALSE;
}

INT_PTR CDialog::Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    LRESULT lResult = 0;
    if (OnMessage(uMsg, wParam, lParam, lResult))
    {
        return AfxDialogResult(m_hWnd, uMsg, lResult);
    }
    switch (uMsg)
    {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDOK)
        {
            OnOK();
            return TRUE;
        }
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDCANCEL)
        {
            OnCancel();
            return TRUE;
        }
        break;
    case WM_CLOSE:
        OnCancel();
        return TRUE;
    case WM_NCDESTROY:
        m_hWnd = nullptr;
        break;
    default:
        break;
    }
    return FALSE;
}
