#pragma once
// A folder chooser made from the platform's old-style file dialog: only its folder
// list and drive list are shown, and on OK the folder the user moved to is the
// result instead of a file. The old-style dialog moves through folders by changing
// the process's current directory, so the chooser saves that directory when it is
// made and puts it back when it is destroyed.

#include "framework/AfxFileDialog.h"

#include <string>

class CSelDirDlg : public CFileDialog
{
public:
    // Opens in lpszInitialDir when it names an existing folder (it becomes the
    // current directory until the chooser is destroyed), else in the current one.
    explicit CSelDirDlg(LPCWSTR lpszInitialDir = nullptr, CWnd* pParentWnd = nullptr);
    ~CSelDirDlg() override;

    // After OK: the chosen folder without a final backslash ("C:" for the root of
    // drive C:), written into strFolder, which is returned.
    std::wstring& GetSelectedFolder(std::wstring& strFolder) const;

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;
    void OnPaint();

    BOOL m_bFirstPaint = FALSE;
    std::wstring m_strSavedDir;
    std::wstring m_strTitle;
};
