#include "tests/support/DialogProbe.h"

#include <vector>

namespace qvstest
{
RunningProgram::RunningProgram(const std::wstring& commandLine, const std::wstring& currentDir)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = commandLine;
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi))
    {
        m_process.reset(pi.hProcess);
        CloseHandle(pi.hThread);
        m_id = pi.dwProcessId;
    }
}

RunningProgram::~RunningProgram()
{
    if (m_process && !HasEnded())
    {
        TerminateProcess(m_process.get(), 998);
        WaitForSingleObject(m_process.get(), 5000);
    }
}

DWORD RunningProgram::Wait(DWORD timeoutMs)
{
    if (!m_process || WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
    {
        return static_cast<DWORD>(-1);
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process.get(), &code);
    return code;
}

bool RunningProgram::Kill()
{
    if (HasEnded())
    {
        return false;
    }
    const bool bKilled = TerminateProcess(m_process.get(), 997) != FALSE;
    WaitForSingleObject(m_process.get(), 10000);
    return bKilled;
}

bool RunningProgram::HasEnded() const
{
    return !m_process || WaitForSingleObject(m_process.get(), 0) == WAIT_OBJECT_0;
}

namespace
{
struct Search
{
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindProc(HWND hWnd, LPARAM lParam)
{
    auto* search = reinterpret_cast<Search*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    wchar_t caption[128] = {};
    GetWindowTextW(hWnd, caption, 128);
    if (pid == search->pid && IsWindowVisible(hWnd) &&
        wcscmp(caption, L"QVS Hot-Update Client Utility") == 0)
    {
        search->found = hWnd;
        return FALSE;
    }
    return TRUE;
}
} // namespace

HWND RunningProgram::FindDialog(DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do
    {
        Search search{m_id, nullptr};
        EnumWindows(&FindProc, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr)
        {
            return search.found;
        }
        Sleep(50);
    } while (GetTickCount64() < deadline && !HasEnded());
    return nullptr;
}

std::wstring RunningProgram::WaitForText(const std::wstring& needle, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do
    {
        const HWND hDlg = FindDialog(200);
        if (hDlg != nullptr)
        {
            const std::wstring text = ReadTextBox(hDlg);
            if (text.find(needle) != std::wstring::npos)
            {
                return text;
            }
        }
        Sleep(50);
    } while (GetTickCount64() < deadline && !HasEnded());
    return {};
}

namespace
{
// Windows created by the watched process; the hook runs on the watching thread.
int g_nWindowsCreated = 0;

void CALLBACK OnObjectCreated(HWINEVENTHOOK, DWORD, HWND hWnd, LONG idObject, LONG idChild, DWORD,
                              DWORD)
{
    if (hWnd != nullptr && idObject == OBJID_WINDOW && idChild == CHILDID_SELF)
    {
        ++g_nWindowsCreated;
    }
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        DispatchMessageW(&msg);
    }
}
} // namespace

int CountWindowsCreated(const std::wstring& commandLine, DWORD timeoutMs)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = commandLine;
    // Suspended, so that the hook is in place before the program's first step.
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi))
    {
        return -1;
    }
    const UniqueKernelHandle process(pi.hProcess);
    const UniqueKernelHandle thread(pi.hThread);
    g_nWindowsCreated = 0;
    const HWINEVENTHOOK hHook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr,
                                                &OnObjectCreated, pi.dwProcessId, 0,
                                                WINEVENT_OUTOFCONTEXT);
    if (hHook == nullptr)
    {
        TerminateProcess(process.get(), 999);
        return -1;
    }
    ResumeThread(thread.get());
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool bEnded = false;
    while (!bEnded && GetTickCount64() < deadline)
    {
        const DWORD dwWait =
            MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, 100, QS_ALLINPUT);
        PumpMessages();
        bEnded = dwWait == WAIT_OBJECT_0;
    }
    // Events still on their way are delivered before the count is read.
    for (int i = 0; i < 5; ++i)
    {
        Sleep(20);
        PumpMessages();
    }
    UnhookWinEvent(hHook);
    if (!bEnded)
    {
        TerminateProcess(process.get(), 999);
        return -1;
    }
    return g_nWindowsCreated;
}

std::wstring ReadTextBox(HWND hDlg)
{
    const HWND hEdit = GetDlgItem(hDlg, 1000);
    if (hEdit == nullptr)
    {
        return {};
    }
    // The program may add text between the two questions: read until the length
    // before and after agree.
    for (int attempt = 0; attempt < 50; ++attempt)
    {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(hEdit, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
        {
            return {};
        }
        std::vector<wchar_t> buffer(length + 2, L'\0');
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(hEdit, WM_GETTEXT, buffer.size(),
                            reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000,
                            &copied);
        DWORD_PTR after = 0;
        SendMessageTimeoutW(hEdit, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &after);
        if (copied == length && after == length)
        {
            return std::wstring(buffer.data(), copied);
        }
        Sleep(20);
    }
    return {};
}

void PressOk(HWND hDlg)
{
    PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDOK)));
}
} // namespace qvstest
