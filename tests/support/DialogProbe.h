#pragma once
// Drives the real program from a test: starts it without waiting, finds its
// hot-update dialog, reads the dialog's text box and presses OK.

#include "framework/AfxHandle.h"

#include <windows.h>

#include <string>

namespace qvstest
{
class RunningProgram
{
public:
    // Starts the command line; the current folder is inherited when empty.
    explicit RunningProgram(const std::wstring& commandLine, const std::wstring& currentDir = {});
    ~RunningProgram(); // ends the program if it still runs

    bool started() const { return static_cast<bool>(m_process); }
    DWORD id() const { return m_id; }
    // Waits for the end; the exit code, or -1 on time-out.
    DWORD Wait(DWORD timeoutMs = 60000);
    bool HasEnded() const;
    // Ends the program at once, as a crash or a power cut would; true when it
    // still ran until then.
    bool Kill();

    // The program's visible hot-update dialog, waiting up to timeoutMs; null if none.
    HWND FindDialog(DWORD timeoutMs = 20000) const;
    // Waits until the dialog's text box holds text; returns the text ("" on time-out).
    std::wstring WaitForText(const std::wstring& needle, DWORD timeoutMs = 30000) const;

private:
    UniqueKernelHandle m_process;
    DWORD m_id = 0;
};

// Runs the command line to its end and counts the windows its process created,
// hidden ones included, as an out-of-context event hook sees them; -1 when the
// program cannot be started, does not end within timeoutMs or cannot be watched.
int CountWindowsCreated(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// The whole text of the dialog's text box (control 1000).
std::wstring ReadTextBox(HWND hDlg);
// Presses OK as the user would.
void PressOk(HWND hDlg);
} // namespace qvstest
