#pragma once
// The system's error convention: failures are raised as SCException (thrown by
// pointer) and every catch site hands what it caught to HandleException, which
// writes what is worth writing to the Windows event log and destroys the object.

#include "framework/AfxException.h"

#include <cstddef>
#include <string>

#define SC_WIDEN2_(x) L##x
#define SC_WIDEN_(x) SC_WIDEN2_(x)

// The name of a source file without its folders and extension ("Xcpt"), worked
// out by the compiler: events and boxes name the file as the system knows it, and
// the build machine's folders never reach the program.
template <size_t N> struct SCSourceName
{
    wchar_t text[N] = {};
    consteval explicit SCSourceName(const wchar_t (&path)[N])
    {
        size_t nStart = 0;
        size_t nEnd = N - 1;
        for (size_t i = 0; i + 1 < N; ++i)
        {
            if (path[i] == L'\\' || path[i] == L'/')
            {
                nStart = i + 1;
                nEnd = N - 1;
            }
            else if (path[i] == L'.')
            {
                nEnd = i;
            }
        }
        for (size_t i = nStart; i < nEnd; ++i)
        {
            text[i - nStart] = path[i];
        }
    }
};
// The current source file's name, as 16-bit text.
#define SC_SOURCE_FILE                                                                             \
    ([]() noexcept -> const wchar_t* {                                                             \
        static constexpr SCSourceName s_name(SC_WIDEN_(__FILE__));                                 \
        return s_name.text;                                                                        \
    }())
// Raises an SCException naming this file and line.
#define SC_THROW(code) ThrowSCException((code), SC_SOURCE_FILE, __LINE__)
// Hands a caught exception to the handler, naming this file and line.
#define SC_HANDLE(e) HandleException((e), SC_SOURCE_FILE, __LINE__)

// The code of a raise that only ends its operation and is never logged.
constexpr DWORD SC_NO_CODE = 0xFFFFFFFF;

// Error codes written to the event log.
enum : DWORD
{
    SC_CODE_OTHER_FRAMEWORK = 1000,
    SC_CODE_MEMORY = 2000,
    SC_CODE_NOT_SUPPORTED = 3000,
    SC_CODE_ARCHIVE = 4000,
    SC_CODE_FILE = 5000,
    SC_CODE_RESOURCE = 6000,
    SC_CODE_OLE = 7000,
    SC_CODE_USER = 9000,
    SC_CODE_CONSTRUCTION_FAILED = 10000,
    SC_CODE_THROW_FAILED = 10001,
    SC_CODE_HANDLER_FAILED = 10002,
    SC_CODE_APP_PATH = 15000,
};

// Event IDs of the two kinds of record.
constexpr DWORD SC_EVENT_ERROR = 0xC0000001;
constexpr DWORD SC_EVENT_WARNING = 0xC0000002;

class SCException : public CException
{
    DECLARE_DYNAMIC(SCException)
public:
    SCException(DWORD nCode, LPCWSTR pszFile, DWORD nLine);
    ~SCException() override;

    // Writes an error event with the code, file and line the object holds.
    void LogEvent() const;

    DWORD m_nCode = SC_NO_CODE;
    std::wstring m_strFile;
    DWORD m_nLine = 0;
};

// Raises a new SCException. When the object cannot be made, the failure is
// reported (event 10001) and the framework's memory exception is thrown instead.
[[noreturn]] void ThrowSCException(DWORD nCode, LPCWSTR pszFile, DWORD nLine);

// The one catch-side handler: classifies and logs e, destroys it, and returns the
// code it assigned. Never throws.
DWORD HandleException(CException* e, LPCWSTR pszFile, DWORD nLine) noexcept;

// Opens the event log under the given source name. When it cannot be opened the
// user is asked (Abort/Retry/Ignore): false only after Abort.
bool RegisterEventLogSource(const std::wstring& strSourceName);
BOOL DeregisterEventLogSource() noexcept;

void LogErrorEvent(DWORD nCode, LPCWSTR pszFile, DWORD nLine) noexcept;
void LogWarningEvent(const std::wstring& strMessage, LPCWSTR pszFile, DWORD nLine) noexcept;

// A message box with the time, the message and the place; waits for OK.
void PopupMessage(const std::wstring& strMessage, LPCWSTR pszFile, DWORD nLine) noexcept;

// A copy of the process user's SID in a block of the process heap (free it with
// HeapFree on the process heap), or null.
PSID GetProcessUserSid() noexcept;

// ---- The two doors to the outside: the event-log calls and the message box. ----
// The program always uses the real calls; tests replace them to record events and
// to answer boxes.

struct SCEventLogApi
{
    HANDLE(WINAPI* pfnRegister)(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
    BOOL(WINAPI* pfnReport)
    (HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
     WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData);
    BOOL(WINAPI* pfnDeregister)(HANDLE hEventLog);
};

// Replaces the event-log calls; null restores the real ones.
void SetEventLogApi(const SCEventLogApi* pApi) noexcept;

using SCMessageBoxFn = int(WINAPI*)(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

// Every message box of the program goes through here.
int SCMessageBox(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) noexcept;

// Replaces the message box; null restores MessageBoxW.
void SetMessageBoxFunction(SCMessageBoxFn pfn) noexcept;
