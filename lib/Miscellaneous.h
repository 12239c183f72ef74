#pragma once
// The two folders every path is built from: the program's own folder (with a
// final backslash) and the installation root one level above it (without one).

#include "framework/AfxHandle.h"

#include <string>

// The folder of the running program, ending with a backslash; empty when the
// program's path holds no backslash.
const std::wstring& GetAppFolder();

// The parent of the program folder, without a final backslash. Raises code 15000
// when the program folder has fewer than two folder levels.
std::wstring GetAppRootFolder();

// The folder part of a program path: up to and including its last backslash.
std::wstring AppFolderFromModulePath(const std::wstring& strModulePath);

// The root folder of a program folder; raises code 15000 as GetAppRootFolder does.
std::wstring RootFolderFromAppFolder(const std::wstring& strAppFolder);

// Tests put the program folder where they need it; empty text returns to the real one.
void SetAppFolderForTesting(const std::wstring& strAppFolder);

// ---- One update of an installation at a time ----

// The name of the lock of the installation whose root folder is given. It is made
// from the folder's identity on its volume (volume serial number and file index),
// so every spelling of the root (other case, a short name, a substituted drive)
// names the same lock; in the global namespace, so users of other sessions meet
// it too. Only when the folder cannot be opened is it made from the folder's text.
std::wstring InstallationLockName(const std::wstring& strRoot);

// The lock itself: a named mutex every local user may wait on. A holder that ends
// without releasing it (killed, crashed) leaves it abandoned, and the next one
// takes it over.
class SCInstallationLock
{
public:
    enum class Result
    {
        Acquired,
        TimedOut,
        // No lock could be made (or opened): the caller goes on without one.
        Unavailable,
    };

    SCInstallationLock() = default;
    ~SCInstallationLock() { Release(); }
    SCInstallationLock(const SCInstallationLock&) = delete;
    SCInstallationLock& operator=(const SCInstallationLock&) = delete;

    // Waits up to dwTimeoutMs for the lock of the installation at strRoot.
    Result Acquire(const std::wstring& strRoot, DWORD dwTimeoutMs);
    void Release() noexcept;

private:
    UniqueKernelHandle m_mutex;
    bool m_bOwned = false;
};

// ---- Text for the log ----

// The text in the given code page (CP_THREAD_ACP for the log), characters the code
// page lacks as its default character rather than a look-alike where the code page
// allows that choice. UTF-8, GB18030, UTF-7 and a few others take no such flag, and
// a conversion that asked for it would give nothing at all.
std::string MultiByteText(const std::wstring& strText, UINT nCodePage);

// Writes one line at the end of the log: every process that writes the log
// appends, so lines of a second start are never overwritten by the first's.
void WriteLogLine(HANDLE hLog, const std::wstring& strMessage);
