#pragma once
// What every test shares: temporary folders, whole files, stamps, the system's
// error texts, and the one launcher of programs (the real ones and the tools).

#include "framework/AfxFileFind.h"
#include "framework/AfxHandle.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace qvstest
{
// The folder of the running test program, with a final backslash.
std::wstring ExeFolder();
// The built QVSCliUpdate.exe beside the tests, loaded as data: its resources
// (templates, message table) without running any of its code. Invalid when absent.
UniqueModule ProgramResources();
// QVS_LONG=1: the long variants (tests/README.md).
bool LongRun();
// A name no other test program uses, now or earlier in the suite: Wine hands out
// the numbers of ended processes again, so the process number alone is not enough.
std::wstring FreshName(const wchar_t* prefix);

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir
{
public:
    // Below the system's temporary folder, or below parent.
    explicit TempDir(const std::wstring& parent = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& relative) const { return m_path + L"\\" + relative; }

private:
    std::wstring m_path;
};

// Paths may be longer than MAX_PATH.
// Calls f with each entry of a folder but "." and "..", in the system's order.
template <class F> void ForEachEntry(const std::wstring& folder, F&& f);
void RemoveTree(const std::wstring& path);
void MakeDirs(const std::wstring& path);
bool Exists(const std::wstring& path);
std::string ReadBytes(const std::wstring& path); // throws when the file cannot be read
std::string ReadAll(HANDLE hFile);
// Makes missing folders; with a stamp, the file's last-write time.
void WriteBytes(const std::wstring& path, const std::string& bytes, const FILETIME* pStamp = nullptr);
std::wstring ReadUtf16(const std::wstring& path);
void WriteUtf16(const std::wstring& path, const std::wstring& text);
std::string Utf16Bytes(const std::wstring& text);
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
std::wstring Upper(std::wstring text);
std::wstring ComputerName();

// UTC stamps.
FILETIME T(WORD year, WORD month, WORD day, WORD hour = 12, WORD minute = 0, WORD second = 0);
FILETIME Plus(const FILETIME& ft, LONGLONG seconds);
FILETIME Stamp(const std::wstring& path);

// The system's text for an error, as the copy reports it (line end included),
// and on one line, as QVS.ini records a reason.
std::wstring SystemText(DWORD dwError);
std::wstring ReasonText(DWORD dwError);

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// The one way tests start programs. Without Wait the program runs on; the
// destructor ends it if it still runs, and what it started if that has not ended
// within 5 s (the program and what it starts share a job).
class Program
{
public:
    struct Options
    {
        std::wstring currentDir;  // inherited when empty
        bool countWindows = false; // count the windows it creates (Wait reports them)
        bool capture = false;      // its standard output and error, for out() and err()
    };
    static Options CountingWindows()
    {
        Options options;
        options.countWindows = true;
        return options;
    }
    explicit Program(const std::wstring& commandLine);
    Program(const std::wstring& commandLine, const Options& options);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The exit code, or -1 when it did not end in time.
    DWORD Wait(DWORD timeoutMs = 60000);
    bool Ended() const;
    // Ends it at once, as a crash or a power cut would; true when it still ran.
    bool Kill();
    // The stacks of the test's processes, from Wine's debugger, into the output:
    // where a program that should have ended waits.
    void PrintStacks() const;
    // Windows created so far, hidden ones included (countWindows only).
    int WindowsCreated() const;
    std::wstring out() const { return Captured(L"out"); }
    std::wstring err() const { return Captured(L"err"); }

    // Its visible hot-update dialog (null after timeoutMs), the whole text of the
    // dialog's text box once it holds needle ("" after timeoutMs), and its OK button.
    HWND Dialog(DWORD timeoutMs = 20000) const;
    // Its first visible top-level window of that class ("#32770": a dialog or a
    // message box) whose caption, when one is given, is that; null after timeoutMs.
    HWND Window(const wchar_t* className, const wchar_t* caption = nullptr,
                DWORD timeoutMs = 20000) const;
    std::wstring WaitForText(const std::wstring& needle, DWORD timeoutMs = 30000) const;
    void PressOk() const;

private:
    std::wstring Captured(const wchar_t* name) const;
    void WaitForJobToEnd(DWORD timeoutMs);
    UniqueKernelHandle m_jobPort;
    UniqueKernelHandle m_job;
    UniqueKernelHandle m_process;
    DWORD m_id = 0;
    std::unique_ptr<TempDir> m_capture;
    HWINEVENTHOOK m_hook = nullptr;
};

template <class F> void ForEachEntry(const std::wstring& folder, F&& f)
{
    WIN32_FIND_DATAW fd;
    const UniqueFind find(FindFirstFileW(AfxLongPathForm(folder + L"\\*").c_str(), &fd));
    for (bool bMore = find.valid(); bMore; bMore = FindNextFileW(find.get(), &fd) != FALSE)
    {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
        {
            f(fd);
        }
    }
}

// Runs a program to its end: its exit code, or -1.
DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// Wine shows a Unix symbolic link to a folder as a folder link (a directory with
// a reparse point) and makes none itself: parent\name becomes a link to the host
// path target, made by the host's ln; false when it does not appear.
bool MakeUnixLink(const std::wstring& parent, const std::wstring& name, const std::wstring& target);
void RemoveUnixLink(const std::wstring& parent, const std::wstring& name);
// The host's path of a path on the Z: drive ("Z:\a\b" is "/a/b").
std::wstring HostPath(const std::wstring& zPath);
} // namespace qvstest
