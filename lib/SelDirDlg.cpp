#include "lib/SelDirDlg.h"

#include "framework/AfxWinApp.h"
#include "resource.h"

namespace
{
// The name in the hidden file-name field: the dialog accepts OK only with a file
// name, and the folder is what precedes it in the result.
constexpr wchar_t kDummyFileName[] = L"Junk";

// The current directory, however long it is; empty when it cannot be read.
std::wstring CurrentDirectory()
{
    std::wstring dir(MAX_PATH, L'\0');
    DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(dir.size()), dir.data());
    if (n >= dir.size())
    {
        dir.resize(n);
        n = ::GetCurrentDirectoryW(static_cast<DWORD>(dir.size()), dir.data());
    }
    dir.resize(n < dir.size() ? n : 0);
    return dir;
}

// One paint of a window: validates what needed painting, as the default painting does.
class PaintScope
{
public:
    explicit PaintScope(HWND hWnd) noexcept : m_hWnd(hWnd) { ::BeginPaint(m_hWnd, &m_ps); }
    ~PaintScope() { ::EndPaint(m_hWnd, &m_ps); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps{};
};
} // namespace

CSelDirDlg::CSelDirDlg(LPCWSTR lpszInitialDir, CWnd* pParentWnd)
    : CFileDialog(FALSE, OFN_ENABLETEMPLATE | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, pParentWnd)
{
    // Only the old-style dialog takes a template with the old layout.
    m_ofn.Flags &= ~static_cast<DWORD>(OFN_EXPLORER);
    m_ofn.lpTemplateName = MAKEINTRESOURCEW(IDD_SELDIR);
    // The dialog sets its window's text to lpstrTitle whatever the template's
    // caption says: Wine's old-style dialog sets none when it is null, and Windows
    // then puts its own "Save As" (this is the save dialog) in its place.
    m_strTitle = AfxLoadString(IDS_SELDIR_TITLE);
    m_ofn.lpstrTitle = m_strTitle.c_str();
    m_strSavedDir = CurrentDirectory();
    // The dialog opens in the current directory; a folder that does not exist leaves it as is.
    if (lpszInitialDir != nullptr && *lpszInitialDir != L'\0')
    {
        ::SetCurrentDirectoryW(lpszInitialDir);
    }
}

CSelDirDlg::~CSelDirDlg()
{
    if (!m_strSavedDir.empty())
    {
        ::SetCurrentDirectoryW(m_strSavedDir.c_str());
    }
}

std::wstring& CSelDirDlg::GetSelectedFolder(std::wstring& strFolder) const
{
    strFolder = GetPathName();
    const size_t pos = strFolder.find_last_of(L"\\/");
    strFolder.resize(pos == std::wstring::npos ? 0 : pos);
    return strFolder;
}

BOOL CSelDirDlg::OnInitDialog()
{
    CenterWindow();
    for (const int nID : {IDC_SELDIR_TYPES_LABEL, IDC_SELDIR_FILENAME_LABEL, IDC_SELDIR_FILENAME,
                          IDC_SELDIR_FILES, IDC_SELDIR_TYPES})
    {
        ::ShowWindow(GetDlgItem(nID), SW_HIDE);
    }
    SetDlgItemText(IDC_SELDIR_FILENAME, kDummyFileName);
    ::SetFocus(GetDlgItem(IDC_SELDIR_DIRS));
    m_bFirstPaint = TRUE;
    CFileDialog::OnInitDialog();
    return FALSE; // the focus has been set
}

bool CSelDirDlg::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult)
{
    if (uMsg == WM_PAINT)
    {
        OnPaint();
        lResult = 0;
        return true;
    }
    return CFileDialog::OnMessage(uMsg, wParam, lParam, lResult);
}

void CSelDirDlg::OnPaint()
{
    {
        const PaintScope paint(m_hWnd);
    }
    // Done on the first paint rather than at initialisation, so that nothing the
    // platform's dialog does while it sets itself up and shows can undo it.
    if (m_bFirstPaint)
    {
        m_bFirstPaint = FALSE;
        ::SendMessageW(GetDlgItem(IDC_SELDIR_DIRS), LB_SETCURSEL, 0, 0);
    }
}
