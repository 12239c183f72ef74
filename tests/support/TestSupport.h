#pragma once
// Helpers shared by the tests: temporary folders, whole-file I/O, the program's
// folders, and recorders for the event log and message boxes.

#include "lib/Time.h"
#include "lib/Xcpt.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qvstest
{
// The folder of the running test program, with a final backslash.
std::wstring ExeFolder();

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, without a final backslash.
    const std::wstring& path() const { return m_path; }
    // path() + "\" + relative.
    std::wstring operator/(const std::wstring& relative) const { return m_path + L"\\" + relative; }

private:
    std::wstring m_path;
};

void RemoveTree(const std::wstring& path);
void MakeDirs(const std::wstring& path); // every missing level
bool Exists(const std::wstring& path);

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
// UTF-16LE without BOM.
std::wstring ReadUtf16(const std::wstring& path);
void WriteUtf16(const std::wstring& path, const std::wstring& text);
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// UTF-16LE code units as bytes.
std::string Utf16Bytes(const std::wstring& text);

// The computer's name as the lists record it.
std::wstring ComputerName();

// All fields of a date-time value and its status: year, month, day of week, day,
// hour, minute, second, millisecond, status.
using Fields = std::array<int, 9>;
Fields FieldsOf(const SCDateTime& dt);

// Whether the operation raises E (which is then destroyed).
template <class E, class F> bool Raises(F&& operation)
{
    try
    {
        operation();
    }
    catch (E* e)
    {
        e->Delete();
        return true;
    }
    return false;
}

// Sets a file's last-write time from a UTC FILETIME value.
void SetLastWriteTime(const std::wstring& path, const FILETIME& ftUtc);
FILETIME GetLastWriteTime(const std::wstring& path);
FILETIME FileTimeFromUtc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second);

// One event record as the program reported it.
struct EventRecord
{
    WORD type;
    DWORD id;
    std::vector<std::wstring> strings;
};

// Records every event while it lives; registration always succeeds unless told
// to fail a number of times.
class EventRecorder
{
public:
    explicit EventRecorder(int nRegisterFailures = 0, bool bRegister = true);
    ~EventRecorder();
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    std::vector<EventRecord> events;
    int registerCalls = 0;
    int deregisterCalls = 0;
    int registerFailuresLeft;
};

// Answers message boxes from a script while it lives, recording what was shown.
class MessageBoxRecorder
{
public:
    explicit MessageBoxRecorder(std::vector<int> answers = {});
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    struct Box
    {
        std::wstring text;
        std::wstring caption;
        UINT type;
    };
    std::vector<Box> boxes;
    std::vector<int> answers; // taken from the front; IDOK when none is left
};

// Runs a program and waits for it; returns its exit code (or -1).
DWORD RunProcess(const std::wstring& commandLine, const std::wstring& currentDir = {},
                 DWORD timeoutMs = 60000);

// ---- Wine's host system, reached through its Z: drive ----
// Wine makes no junctions, but shows a Unix symbolic link to a folder as a folder
// with a reparse point. Unix programs start from a Windows process, but Wine
// cannot wait for them: these helpers wait for the effect instead.

// True when the running system is Wine (it has the host's root as Z:\bin).
bool OnWine();
// Starts a Unix program (e.g. L"Z:\\bin\\ln -s .. loop") in a folder; false when
// it could not be started.
bool StartUnixProgram(const std::wstring& commandLine, const std::wstring& currentDir);
// Makes parent\name a Unix symbolic link to relativeTarget ('/' separators) and
// waits until the system shows it; false when it did not appear.
bool MakeUnixLink(const std::wstring& parent, const std::wstring& name,
                  const std::wstring& relativeTarget, DWORD timeoutMs = 10000);
// Removes such a link (the system itself cannot: it follows it); true when gone.
bool RemoveUnixLink(const std::wstring& parent, const std::wstring& name, DWORD timeoutMs = 10000);
// The host's path for a path on the Z: drive ("Z:\\a\\b" is "/a/b"); empty for others.
std::wstring HostPath(const std::wstring& zPath);
// Waits until the condition holds, checking every few milliseconds; its last value.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
} // namespace qvstest
