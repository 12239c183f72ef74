#pragma once
// What the walk, copy and popup tests share: a recorder for progress messages,
// a hidden window with a text box (the hot-update dialog's stand-in), trees of
// files, and the search for the status popup among this process's windows.

#include "framework/AfxHandle.h"
#include "framework/AfxWnd.h"
#include "lib/FileIterator.h"
#include "resource.h"
#include "tests/support/TestSupport.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace qvswalktest
{
// Every message the work reported, with the context it came with.
struct MessageLog
{
    std::vector<std::wstring> messages;
    std::vector<CWnd*> contexts;
};

inline MessageLog*& CurrentLog()
{
    static MessageLog* s_pLog = nullptr;
    return s_pLog;
}

inline LRESULT RecordMessage(const std::wstring& strMessage, CWnd* pContext)
{
    if (CurrentLog() != nullptr)
    {
        CurrentLog()->messages.push_back(strMessage);
        CurrentLog()->contexts.push_back(pContext);
    }
    return 0;
}

// Records while it lives.
class MessageRecorder : public MessageLog
{
public:
    MessageRecorder() { CurrentLog() = this; }
    ~MessageRecorder() { CurrentLog() = nullptr; }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;
};

// A hidden top-level window with a multi-line text box of ID 1000, as the
// hot-update dialog has: the window the walk shows lines in and the copy posts to.
class HiddenDialogWindow : public CWnd
{
public:
    HiddenDialogWindow()
    {
        m_hWnd = CreateWindowExW(0, L"STATIC", L"walk test", WS_OVERLAPPED, 0, 0, 200, 100, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
        if (m_hWnd == nullptr)
        {
            throw std::runtime_error("cannot create a window");
        }
        CreateWindowExW(
            0, L"EDIT", L"",
            WS_CHILD | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL | WS_HSCROLL, 0,
            0, 100, 50, m_hWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_LOG)),
            GetModuleHandleW(nullptr), nullptr);
    }
    ~HiddenDialogWindow() override { DestroyWindow(m_hWnd); }

    std::wstring Text() const { return GetDlgItemText(IDC_LOG); }

    // The WM_LAUNCH_CLIENT messages waiting for this window (taken from the queue).
    int TakeLaunchMessages(WPARAM* pwParam = nullptr, LPARAM* plParam = nullptr)
    {
        int n = 0;
        MSG msg;
        while (PeekMessageW(&msg, m_hWnd, WM_LAUNCH_CLIENT, WM_LAUNCH_CLIENT, PM_REMOVE))
        {
            if (pwParam != nullptr)
            {
                *pwParam = msg.wParam;
            }
            if (plParam != nullptr)
            {
                *plParam = msg.lParam;
            }
            ++n;
        }
        return n;
    }
};

inline void WriteFileText(const std::wstring& path, const std::string& bytes)
{
    qvstest::WriteBytes(path, bytes);
}

inline std::wstring UpperCase(std::wstring text)
{
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The system's message text for an error, exactly as the copy reports it.
inline std::wstring SystemText(DWORD dwError)
{
    LPWSTR p = nullptr;
    const DWORD n =
        FormatMessageW(0x1300, nullptr, dwError, 0x400, reinterpret_cast<LPWSTR>(&p), 0, nullptr);
    const UniqueLocal owner(p);
    return n != 0 ? std::wstring(p, n) : std::wstring();
}

inline std::wstring Trimmed(std::wstring text)
{
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    {
        text.pop_back();
    }
    return text;
}

// Names of the files directly in a folder.
inline std::vector<std::wstring> FileNames(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (find)
    {
        do
        {
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            {
                names.emplace_back(fd.cFileName);
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    return names;
}

// The status popup of this process: a visible top-level window holding the
// popup's two texts.
inline HWND FindStatusPopup()
{
    struct Search
    {
        HWND hFound = nullptr;
    } search;
    EnumWindows(
        [](HWND hWnd, LPARAM lParam) -> BOOL
        {
            DWORD dwProcessId = 0;
            GetWindowThreadProcessId(hWnd, &dwProcessId);
            if (dwProcessId != GetCurrentProcessId() || !IsWindowVisible(hWnd))
            {
                return TRUE;
            }
            wchar_t szTitle[64] = {};
            wchar_t szText[64] = {};
            GetDlgItemTextW(hWnd, IDC_STATUS_TITLE, szTitle, 64);
            GetDlgItemTextW(hWnd, IDC_STATUS_TEXT, szText, 64);
            if (std::wstring(szTitle) == L"Perfoming QVS Hot-Update..." &&
                std::wstring(szText) == L"Reading through directory tree...")
            {
                reinterpret_cast<Search*>(lParam)->hFound = hWnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.hFound;
}

// Waits up to timeoutMs for the popup to be there (or gone).
inline HWND WaitForStatusPopup(bool bPresent, DWORD timeoutMs = 10000)
{
    const ULONGLONG nEnd = GetTickCount64() + timeoutMs;
    for (;;)
    {
        const HWND hWnd = FindStatusPopup();
        if ((hWnd != nullptr) == bPresent || GetTickCount64() >= nEnd)
        {
            return hWnd;
        }
        Sleep(20);
    }
}
} // namespace qvswalktest
