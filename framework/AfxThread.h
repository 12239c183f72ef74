#pragma once
// User-interface threads: an object that owns a thread with its own message
// queue and loop. A thread is started from its run-time class alone
// (AfxBeginThread); it runs InitInstance, then its message loop until WM_QUIT,
// then ExitInstance, and with auto-delete on the object deletes itself when the
// thread ends. No exception leaves the thread's entry.

#include "framework/AfxHandle.h"
#include "framework/AfxObject.h"

#include <atomic>
#include <functional>

class CWnd;

class CWinThread : public CObject
{
    DECLARE_DYNAMIC(CWinThread)
public:
    CWinThread() noexcept;
    ~CWinThread() override;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // Starts the thread. Returns only once the new thread has its message queue,
    // so that a message posted to it at once is kept; FALSE when it could not be
    // started. Only dwCreateFlags 0 is supported: the thread runs at once.
    BOOL CreateThread(DWORD dwCreateFlags = 0, UINT nStackSize = 0,
                      LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);
    BOOL SetThreadPriority(int nPriority) noexcept;
    BOOL PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) const noexcept;

    // Runs first on the new thread: TRUE enters the message loop, FALSE goes
    // straight to ExitInstance.
    virtual BOOL InitInstance();
    // The message loop, until WM_QUIT; returns what ExitInstance returns.
    virtual int Run();
    // Runs last on the thread; its result is the thread's exit code (the wParam of
    // the WM_QUIT that ended the loop, 0 when none did).
    virtual int ExitInstance();

    UniqueKernelHandle m_hThread;
    DWORD m_nThreadID = 0;
    // The thread's main window, for the thread's own use.
    CWnd* m_pMainWnd = nullptr;
    // Delete the object when its thread ends.
    BOOL m_bAutoDelete = TRUE;

protected:
    int m_nExitCode = 0;

private:
    static unsigned __stdcall ThreadEntry(void* pStartup);
};

// Makes an object of pThreadClass (a class derived from CWinThread with
// DECLARE_DYNCREATE) and starts its thread at the given priority. Null when the
// object cannot be made or the thread cannot be started; the object is then gone.
CWinThread* AfxBeginThread(const CRuntimeClass* pThreadClass,
                           int nPriority = THREAD_PRIORITY_NORMAL, UINT nStackSize = 0,
                           DWORD dwCreateFlags = 0,
                           LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr) noexcept;

// Waits until hObject is signalled or dwMs have passed, and answers meanwhile the
// messages that other threads send to this thread's windows (making or destroying
// a window may send some), so that they are never held up by the wait. Nothing
// else in this thread's queue is touched. True when hObject was signalled.
bool AfxWaitAnsweringSentMessages(HANDLE hObject, DWORD dwMs) noexcept;

// Work that may hang in the system, such as an access to a network share that does
// not answer, runs on a thread of its own, so that its caller is never held by it
// for long. The caller waits until the work ends, or until the work has given no
// sign of life (a store of GetTickCount64() into the counter it is handed) for
// dwSilenceMs, and calls whileWaiting (when given) every few tens of milliseconds
// meanwhile. True when the work ended; an exception it raised is raised again here.
// False when it was left behind: its thread then goes on alone and ends when the
// system lets its call return, so everything the work touches must belong to the
// work itself (captured by value or shared).
bool AfxRunWithDeadline(std::function<void(std::atomic<ULONGLONG>& lastSign)> work,
                        DWORD dwSilenceMs, const std::function<void()>& whileWaiting = {});
