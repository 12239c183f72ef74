#include "lib/Xcpt.h"

#include "framework/AfxHandle.h"
#include "framework/AfxWinApp.h"
#include "lib/ResString.h"
#include "resource.h"

#include <cstdlib>
#include <cwchar>
#include <ctime>
#include <new>

IMPLEMENT_DYNAMIC(SCException, CException)

namespace
{
// Process-wide: empty until registration succeeds and again after deregistration.
HANDLE g_hEventLog = nullptr;

const SCEventLogApi g_realEventLogApi = {&RegisterEventSourceW, &ReportEventW,
                                         &DeregisterEventSource};
const SCEventLogApi* g_pEventLogApi = &g_realEventLogApi;

SCMessageBoxFn g_pfnMessageBox = &MessageBoxW;

// Name and extension of a source path, without drive and folders.
std::wstring SourceFileName(LPCWSTR pszFile)
{
    wchar_t drive[3] = {};
    wchar_t dir[256] = {};
    wchar_t name[256] = {};
    wchar_t ext[256] = {};
    if (pszFile == nullptr || _wsplitpath_s(pszFile, drive, 3, dir, 256, name, 256, ext, 256) != 0)
    {
        return std::wstring();
    }
    return std::wstring(name) + ext;
}

std::wstring Unsigned(DWORD n)
{
    wchar_t buffer[16];
    swprintf(buffer, 16, L"%u", static_cast<unsigned>(n));
    return buffer;
}

void ReportEvent(WORD wType, DWORD dwEventID, const std::wstring& strFirst, LPCWSTR pszFile,
                 DWORD nLine) noexcept
{
    const HANDLE hEventLog = g_hEventLog;
    if (hEventLog == nullptr)
    {
        return;
    }
    try
    {
        const std::wstring file = SourceFileName(pszFile);
        const std::wstring line = Unsigned(nLine);
        LPCWSTR strings[3] = {strFirst.c_str(), file.c_str(), line.c_str()};
        UniqueHeapBlock sid(GetProcessUserSid());
        g_pEventLogApi->pfnReport(hEventLog, wType, 0, dwEventID, sid.get(), 3, 0, strings,
                                  nullptr);
    }
    catch (...)
    {
        // Only memory can fail here, and there is nowhere left to report it.
    }
}
} // namespace

SCException::SCException(DWORD nCode, LPCWSTR pszFile, DWORD nLine)
{
    try
    {
        m_nCode = nCode;
        m_strFile = pszFile != nullptr ? pszFile : L"";
        m_nLine = nLine;
        if (m_nCode != SC_NO_CODE)
        {
            LogEvent();
        }
    }
    catch (CException* e)
    {
        LogErrorEvent(SC_CODE_CONSTRUCTION_FAILED, SC_SOURCE_FILE, __LINE__);
        e->Delete();
    }
    catch (const std::bad_alloc&)
    {
        LogErrorEvent(SC_CODE_CONSTRUCTION_FAILED, SC_SOURCE_FILE, __LINE__);
    }
}

SCException::~SCException() = default;

void SCException::LogEvent() const
{
    LogErrorEvent(m_nCode, m_strFile.c_str(), m_nLine);
}

void ThrowSCException(DWORD nCode, LPCWSTR pszFile, DWORD nLine)
{
    SCException* pException = nullptr;
    try
    {
        pException = new SCException(nCode, pszFile, nLine);
    }
    catch (CException* e)
    {
        HandleException(e, SC_SOURCE_FILE, __LINE__);
    }
    catch (const std::bad_alloc&)
    {
    }
    if (pException == nullptr)
    {
        // Without an object to throw, the caller's operation still has to end.
        LogErrorEvent(SC_CODE_THROW_FAILED, SC_SOURCE_FILE, __LINE__);
        AfxThrowMemoryException();
    }
    throw pException;
}

DWORD HandleException(CException* e, LPCWSTR pszFile, DWORD nLine) noexcept
{
    DWORD nCode = SC_NO_CODE;
    if (e == nullptr)
    {
        return nCode;
    }
    try
    {
        if (e->IsKindOf(RUNTIME_CLASS(SCException)))
        {
            auto* pSC = static_cast<SCException*>(e);
            nCode = pSC->m_nCode;
            pSC->m_strFile = pszFile != nullptr ? pszFile : L"";
            pSC->m_nLine = nLine;
            if (nCode != SC_NO_CODE)
            {
                pSC->LogEvent();
            }
        }
        else
        {
            static const struct
            {
                const CRuntimeClass* pClass;
                DWORD nCode;
            } kClasses[] = {
                {RUNTIME_CLASS(CMemoryException), SC_CODE_MEMORY},
                {RUNTIME_CLASS(CNotSupportedException), SC_CODE_NOT_SUPPORTED},
                {RUNTIME_CLASS(CArchiveException), SC_CODE_ARCHIVE},
                {RUNTIME_CLASS(CFileException), SC_CODE_FILE},
                {RUNTIME_CLASS(CResourceException), SC_CODE_RESOURCE},
                {RUNTIME_CLASS(COleException), SC_CODE_OLE},
                {RUNTIME_CLASS(CUserException), SC_CODE_USER},
            };
            nCode = SC_CODE_OTHER_FRAMEWORK;
            for (const auto& entry : kClasses)
            {
                if (e->IsKindOf(entry.pClass))
                {
                    nCode = entry.nCode;
                    break;
                }
            }
            if (nCode == SC_CODE_OTHER_FRAMEWORK)
            {
                LogErrorEvent(nCode, pszFile, nLine);
            }
            else
            {
                wchar_t message[256] = {};
                e->GetErrorMessage(message, 256);
                if (message[0] != L'\0')
                {
                    LogWarningEvent(message, pszFile, nLine);
                }
                else
                {
                    LogErrorEvent(nCode, pszFile, nLine);
                }
            }
        }
        e->Delete();
    }
    catch (CException* e2)
    {
        e2->Delete();
        LogErrorEvent(SC_CODE_HANDLER_FAILED, SC_SOURCE_FILE, __LINE__);
    }
    catch (...)
    {
        LogErrorEvent(SC_CODE_HANDLER_FAILED, SC_SOURCE_FILE, __LINE__);
    }
    return nCode;
}

bool RegisterEventLogSource(const std::wstring& strSourceName)
{
    int nAnswer = IDIGNORE;
    bool bResult = true;
    try
    {
        HANDLE hEventLog = nullptr;
        for (;;)
        {
            hEventLog = g_pEventLogApi->pfnRegister(nullptr, strSourceName.c_str());
            if (hEventLog != nullptr)
            {
                break;
            }
            const SCResUString strText(IDS_EVENTLOG_OPEN_FAILED);
            const SCResUString strCaption(IDS_EVENTLOG_CAPTION);
            nAnswer = SCMessageBox(nullptr, strText.c_str(), strCaption.c_str(),
                                   MB_ABORTRETRYIGNORE | MB_ICONWARNING | MB_TASKMODAL |
                                       MB_SETFOREGROUND | MB_SERVICE_NOTIFICATION);
            if (nAnswer != IDRETRY)
            {
                break;
            }
        }
        g_hEventLog = hEventLog;
        if (hEventLog == nullptr && nAnswer != IDIGNORE)
        {
            SC_THROW(SC_NO_CODE);
        }
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
        bResult = false;
    }
    return bResult;
}

BOOL DeregisterEventLogSource() noexcept
{
    const HANDLE hEventLog = g_hEventLog;
    if (hEventLog == nullptr)
    {
        return TRUE;
    }
    g_hEventLog = nullptr;
    return g_pEventLogApi->pfnDeregister(hEventLog);
}

void LogErrorEvent(DWORD nCode, LPCWSTR pszFile, DWORD nLine) noexcept
{
    if (g_hEventLog == nullptr)
    {
        return;
    }
    try
    {
        ReportEvent(EVENTLOG_ERROR_TYPE, SC_EVENT_ERROR, Unsigned(nCode), pszFile, nLine);
    }
    catch (...)
    {
    }
}

void LogWarningEvent(const std::wstring& strMessage, LPCWSTR pszFile, DWORD nLine) noexcept
{
    ReportEvent(EVENTLOG_WARNING_TYPE, SC_EVENT_WARNING, strMessage, pszFile, nLine);
}

void PopupMessage(const std::wstring& strMessage, LPCWSTR pszFile, DWORD nLine) noexcept
{
    try
    {
        const __time64_t now = _time64(nullptr);
        const wchar_t* pszNow = _wctime64(&now);
        const std::wstring time = pszNow != nullptr ? pszNow : L"\n";
        const std::wstring file = pszFile != nullptr ? pszFile : L"";
        // From the running program's own table: the box reports above all that the
        // string module could not be opened.
        const std::wstring pattern = AfxLoadString(IDS_POPUP_TEXT);
        const std::wstring text =
            pattern.empty() ? strMessage
                            : AfxFormatStrings(pattern, {time, strMessage, file, Unsigned(nLine)});
        SCMessageBox(nullptr, text.c_str(), AfxLoadString(IDS_POPUP_CAPTION).c_str(),
                     MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND |
                         MB_SERVICE_NOTIFICATION);
    }
    catch (...)
    {
    }
}

PSID GetProcessUserSid() noexcept
{
    UniqueHeapBlock copy;
    try
    {
        UniqueKernelHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        {
            SC_THROW(SC_NO_CODE);
        }
        DWORD cbSize = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &cbSize);
        UniqueHeapBlock info(cbSize != 0 ? HeapAlloc(GetProcessHeap(), 0, cbSize) : nullptr);
        if (!info || !GetTokenInformation(token.get(), TokenUser, info.get(), cbSize, &cbSize))
        {
            SC_THROW(SC_NO_CODE);
        }
        const PSID pUserSid = static_cast<TOKEN_USER*>(info.get())->User.Sid;
        const DWORD cbSid = GetLengthSid(pUserSid);
        copy.reset(HeapAlloc(GetProcessHeap(), 0, cbSid));
        if (!copy || !CopySid(cbSid, copy.get(), pUserSid))
        {
            SC_THROW(SC_NO_CODE);
        }
        return copy.release();
    }
    catch (CException* e)
    {
        SC_HANDLE(e);
    }
    return nullptr;
}

void SetEventLogApi(const SCEventLogApi* pApi) noexcept
{
    g_pEventLogApi = pApi != nullptr ? pApi : &g_realEventLogApi;
}

int SCMessageBox(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) noexcept
{
    return g_pfnMessageBox(hWnd, lpText, lpCaption, uType);
}

void SetMessageBoxFunction(SCMessageBoxFn pfn) noexcept
{
    g_pfnMessageBox = pfn != nullptr ? pfn : &MessageBoxW;
}
