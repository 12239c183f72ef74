#include "framework/AfxThread.h"

#include "framework/AfxException.h"

#include <process.h>

#include <exception>
#include <memory>
#include <new>

IMPLEMENT_DYNAMIC(CWinThread, CObject)

namespace
{
// What the starting thread hands to the new one; lives on the starter's stack
// until the new thread has signalled that its queue exists.
struct ThreadStartup
{
    CWinThread* pThread;
    HANDLE hQueueReady;
};
} // namespace

CWinThread::CWinThread() noexcept = default;

CWinThread::~CWinThread() = default;

BOOL CWinThread::CreateThread(DWORD dwCreateFlags, UINT nStackSize,
                              LPSECURITY_ATTRIBUTES lpSecurityAttrs)
{
    if (dwCreateFlags != 0 || m_hThread)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    UniqueKernelHandle hReady(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!hReady)
    {
        return FALSE;
    }
    ThreadStartup startup{this, hReady.get()};
    unsigned nThreadId = 0;
    // The thread waits until its handle and ID are stored: the object is its own
    // from the first instruction on.
    const uintptr_t h = _beginthreadex(lpSecurityAttrs, nStackSize, &CWinThread::ThreadEntry,
                                       &startup, CREATE_SUSPENDED, &nThreadId);
    if (h == 0)
    {
        return FALSE;
    }
    m_hThread.reset(reinterpret_cast<HANDLE>(h));
    m_nThreadID = nThreadId;
    ::ResumeThread(m_hThread.get());
    // A posted message is lost when the thread has no queue yet: wait until it has.
    // The thread signals before it runs any of the object's code, so it cannot have
    // ended, and the object cannot be gone, when the wait returns.
    const HANDLE waits[2] = {hReady.get(), m_hThread.get()};
    const DWORD dwWait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    return dwWait == WAIT_OBJECT_0 ? TRUE : FALSE;
}

BOOL CWinThread::SetThreadPriority(int nPriority) noexcept
{
    return ::SetThreadPriority(m_hThread.get(), nPriority);
}

BOOL CWinThread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) const noexcept
{
    return ::PostThreadMessageW(m_nThreadID, message, wParam, lParam);
}

BOOL CWinThread::InitInstance()
{
    return FALSE;
}

int CWinThread::Run()
{
    MSG msg;
    for (;;)
    {
        const BOOL bResult = GetMessageW(&msg, nullptr, 0, 0);
        if (bResult == 0)
        {
            m_nExitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (bResult == -1)
        {
            m_nExitCode = -1;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ExitInstance();
}

int CWinThread::ExitInstance()
{
    return m_nExitCode;
}

unsigned __stdcall CWinThread::ThreadEntry(void* pStartup)
{
    const ThreadStartup* pData = static_cast<const ThreadStartup*>(pStartup);
    CWinThread* pThread = pData->pThread;
    // Any call that looks at the queue makes it.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(pData->hQueueReady); // pData is gone after this

    int nResult = -1;
    try
    {
        nResult = pThread->InitInstance() ? pThread->Run() : pThread->ExitInstance();
    }
    catch (CException* e)
    {
        e->Delete();
    }
    catch (...)
    {
    }
    if (pThread->m_bAutoDelete)
    {
        delete pThread;
    }
    return static_cast<unsigned>(nResult);
}

CWinThread* AfxBeginThread(const CRuntimeClass* pThreadClass, int nPriority, UINT nStackSize,
                           DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES lpSecurityAttrs) noexcept
{
    if (pThreadClass == nullptr || !pThreadClass->IsDerivedFrom(RUNTIME_CLASS(CWinThread)))
    {
        return nullptr;
    }
    CWinThread* pThread = nullptr;
    try
    {
        pThread = static_cast<CWinThread*>(pThreadClass->CreateObject());
    }
    catch (CException* e)
    {
        e->Delete();
        return nullptr;
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
    if (pThread == nullptr)
    {
        return nullptr;
    }
    if (!pThread->CreateThread(dwCreateFlags, nStackSize, lpSecurityAttrs))
    {
        delete pThread;
        return nullptr;
    }
    if (nPriority != THREAD_PRIORITY_NORMAL)
    {
        pThread->SetThreadPriority(nPriority);
    }
    return pThread;
}

bool AfxWaitAnsweringSentMessages(HANDLE hObject, DWORD dwMs) noexcept
{
    const ULONGLONG tEnd = GetTickCount64() + dwMs;
    for (;;)
    {
        const ULONGLONG tNow = GetTickCount64();
        const DWORD dwLeft = tNow < tEnd ? static_cast<DWORD>(tEnd - tNow) : 0;
        const DWORD dwWait =
            MsgWaitForMultipleObjectsEx(1, &hObject, dwLeft, QS_SENDMESSAGE, 0);
        if (dwWait != WAIT_OBJECT_0 + 1)
        {
            return dwWait == WAIT_OBJECT_0;
        }
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

namespace
{
// What a piece of deadline work and its waiter share; whichever lets go last frees it.
struct DeadlineWork
{
    std::function<void(std::atomic<ULONGLONG>&)> work;
    std::atomic<ULONGLONG> lastSign{0};
    std::exception_ptr fault;
};

unsigned __stdcall DeadlineWorkEntry(void* pParam)
{
    const std::unique_ptr<std::shared_ptr<DeadlineWork>> pState(
        static_cast<std::shared_ptr<DeadlineWork>*>(pParam));
    DeadlineWork& state = **pState;
    try
    {
        state.work(state.lastSign);
    }
    catch (...)
    {
        state.fault = std::current_exception();
    }
    return 0;
}
} // namespace

bool AfxRunWithDeadline(std::function<void(std::atomic<ULONGLONG>& lastSign)> work,
                        DWORD dwSilenceMs, const std::function<void()>& whileWaiting)
{
    auto pState = std::make_shared<DeadlineWork>();
    pState->work = std::move(work);
    pState->lastSign = GetTickCount64();
    auto pThreadState = std::make_unique<std::shared_ptr<DeadlineWork>>(pState);
    const uintptr_t h =
        _beginthreadex(nullptr, 0, &DeadlineWorkEntry, pThreadState.get(), 0, nullptr);
    if (h == 0)
    {
        // No thread to spare: the work is done here, without a deadline.
        pState->work(pState->lastSign);
        return true;
    }
    // The thread owns its share from now on.
    pThreadState.release();
    const UniqueKernelHandle hThread(reinterpret_cast<HANDLE>(h));
    HANDLE hWait = hThread.get();
    constexpr DWORD kStepMs = 50;
    for (;;)
    {
        const DWORD dwWait =
            whileWaiting ? MsgWaitForMultipleObjectsEx(1, &hWait, kStepMs, QS_ALLINPUT,
                                                       MWMO_INPUTAVAILABLE)
                         : WaitForSingleObject(hWait, kStepMs);
        if (dwWait == WAIT_OBJECT_0)
        {
            if (pState->fault)
            {
                std::rethrow_exception(pState->fault);
            }
            return true;
        }
        if (whileWaiting)
        {
            whileWaiting();
        }
        if (GetTickCount64() - pState->lastSign.load() > dwSilenceMs)
        {
            return false;
        }
    }
}
