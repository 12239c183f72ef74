#pragma once
// The application object: one static instance per program. The entry point runs
// its InitInstance; when that returns FALSE the program ends without a message loop.

#include "framework/AfxObject.h"

#include <initializer_list>
#include <string>

class CWnd;

class CWinApp : public CObject
{
public:
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // The application's message loop, entered only when InitInstance returns TRUE.
    virtual int Run();

    // Loads an icon of the program's resources at the system's large icon size.
    HICON LoadIcon(UINT nIDResource) const;

    LPCWSTR m_pszAppName;
    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;
    int m_nExitCode = 0;
};

CWinApp* AfxGetApp() noexcept;
// The module that holds the program's resources: the running program unless
// another module was set.
HINSTANCE AfxGetResourceHandle() noexcept;
// Makes dialogs and icons come from hInstance (null: the running program again).
// Set it before any thread that creates windows is started.
void AfxSetResourceHandle(HINSTANCE hInstance) noexcept;
// Runs the application object; the body of the program's entry point.
int AfxWinMain(HINSTANCE hInstance, int nCmdShow);

// The framework's and the program's texts, from the string table of the module
// that holds the program's resources.
// The entry's text; empty when the program has no such entry.
std::wstring AfxLoadString(UINT nID);
// The entry's text into a buffer, without allocating (for out-of-memory reports);
// the number of characters copied.
int AfxLoadString(UINT nID, LPWSTR lpszBuffer, UINT nMax) noexcept;

// The pattern with %1 to %9 replaced by the arguments in order; other characters,
// a "%" among them, stay as they are, and the arguments are not read again.
std::wstring AfxFormatStrings(const std::wstring& strPattern,
                              std::initializer_list<std::wstring> args);
