#include "tests/support/Support.h"

#include <algorithm>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <vector>

namespace qvstest
{
std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text(path);
    return text.substr(0, text.rfind(L'\\') + 1);
}

UniqueModule ProgramResources()
{
    return UniqueModule(LoadLibraryExW((ExeFolder() + L"QVSCliUpdate.exe").c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

bool LongRun()
{
    const wchar_t* value = _wgetenv(L"QVS_LONG");
    return value != nullptr && *value != L'\0' && wcscmp(value, L"0") != 0;
}

std::wstring FreshName(const wchar_t* prefix)
{
    static const unsigned s_nSalt = std::random_device()();
    static std::atomic<unsigned> s_counter{0};
    wchar_t name[64] = {};
    swprintf(name, 64, L"%ls%lu-%08x-%u", prefix, static_cast<unsigned long>(GetCurrentProcessId()),
             s_nSalt, s_counter++);
    return name;
}

TempDir::TempDir(const std::wstring& parent)
{
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    m_path = (parent.empty() ? std::wstring(base) : parent + L"\\") + FreshName(L"qvs-");
    RemoveTree(m_path);
    if (!CreateDirectoryW(m_path.c_str(), nullptr))
    {
        throw std::runtime_error("cannot create a temporary folder");
    }
}

TempDir::~TempDir()
{
    // A program that just ended may hold its files a moment longer.
    WaitUntil(
        [this]
        {
            RemoveTree(m_path);
            return !Exists(m_path);
        },
        2000);
}

void RemoveTree(const std::wstring& path)
{
    ForEachEntry(path,
                 [&path](const WIN32_FIND_DATAW& fd)
                 {
                     const std::wstring child = path + L"\\" + fd.cFileName;
                     SetFileAttributesW(AfxLongPathForm(child).c_str(), FILE_ATTRIBUTE_NORMAL);
                     if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                     {
                         DeleteFileW(AfxLongPathForm(child).c_str());
                     }
                     else if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                     {
                         // A folder link goes, not what it leads to.
                         RemoveUnixLink(path, fd.cFileName);
                     }
                     else
                     {
                         RemoveTree(child);
                     }
                 });
    RemoveDirectoryW(AfxLongPathForm(path).c_str());
}

void MakeDirs(const std::wstring& path)
{
    for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos;
         pos = path.find(L'\\', pos + 1))
    {
        CreateDirectoryW(AfxLongPathForm(path.substr(0, pos)).c_str(), nullptr);
    }
    CreateDirectoryW(AfxLongPathForm(path).c_str(), nullptr);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(AfxLongPathForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadAll(HANDLE hFile)
{
    LARGE_INTEGER size{};
    DWORD n = 0;
    std::string bytes;
    if (GetFileSizeEx(hFile, &size))
    {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
        ReadFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    }
    return bytes.substr(0, n);
}

std::string ReadBytes(const std::wstring& path)
{
    const UniqueFile file(CreateFileW(AfxLongPathForm(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    if (!file)
    {
        throw std::runtime_error(std::string("cannot read ") + ToUtf8(path));
    }
    return ReadAll(file.get());
}

void WriteBytes(const std::wstring& path, const std::string& bytes, const FILETIME* pStamp)
{
    const std::wstring longPath = AfxLongPathForm(path);
    UniqueFile file(CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND)
    {
        MakeDirs(path.substr(0, path.rfind(L'\\')));
        file.reset(CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    DWORD n = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) ||
        (pStamp != nullptr && !SetFileTime(file.get(), nullptr, nullptr, pStamp)))
    {
        throw std::runtime_error(std::string("cannot write ") + ToUtf8(path));
    }
}

std::wstring ReadUtf16(const std::wstring& path)
{
    const std::string bytes = ReadBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

void WriteUtf16(const std::wstring& path, const std::wstring& text)
{
    WriteBytes(path, Utf16Bytes(text));
}

std::string Utf16Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

std::string ToUtf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring Upper(std::wstring text)
{
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

FILETIME T(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    const SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

FILETIME Plus(const FILETIME& ft, LONGLONG seconds)
{
    ULARGE_INTEGER ticks{{ft.dwLowDateTime, ft.dwHighDateTime}};
    ticks.QuadPart += static_cast<ULONGLONG>(seconds * 10000000LL);
    return FILETIME{ticks.LowPart, ticks.HighPart};
}

FILETIME Stamp(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(AfxLongPathForm(path).c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

std::wstring SystemText(DWORD dwError)
{
    LPWSTR p = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, dwError, 0x400, reinterpret_cast<LPWSTR>(&p), 0, nullptr);
    const UniqueLocal owner(p);
    return n != 0 ? std::wstring(p, n) : std::wstring();
}

std::wstring ReasonText(DWORD dwError)
{
    std::wstring text = SystemText(dwError);
    for (wchar_t& c : text)
    {
        c = c == L'\r' || c == L'\n' ? L' ' : c;
    }
    return text.erase(text.find_last_not_of(L' ') + 1);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition())
    {
        if (GetTickCount64() >= deadline)
        {
            return false;
        }
        Sleep(5);
    }
    return true;
}

// ---- Program ----

namespace
{
// Windows created by the counted program; the hook runs on the counting thread.
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

UniqueFile InheritableFile(const std::wstring& path)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                                  0, nullptr));
}
// The stacks of every thread of a process that hangs, from Wine's debugger: what
// a reader of the failure needs to tell a wait of the program from one of Wine.
std::string ThreadStacks(DWORD dwProcessId)
{
    const TempDir temp;
    const std::wstring commands = temp / L"commands";
    char text[64] = {};
    snprintf(text, sizeof text, "attach 0x%lx\nbt all\ndetach\nquit\n",
             static_cast<unsigned long>(dwProcessId));
    WriteBytes(commands, text);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    const UniqueFile in(CreateFileW(commands.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa,
                                    OPEN_EXISTING, 0, nullptr));
    const UniqueFile out = InheritableFile(temp / L"stacks");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = out.get();
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"winedbg.exe";
    if (!in || !out ||
        !CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
    {
        return "(no stacks: the debugger could not be started)";
    }
    const UniqueKernelHandle process(pi.hProcess);
    const UniqueKernelHandle thread(pi.hThread);
    if (WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0)
    {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
    // "bt all" shows every process of the prefix: Wine's own are left out.
    const std::string all = ReadBytes(temp / L"stacks");
    std::string kept;
    bool bKeep = true;
    for (size_t nBegin = 0; nBegin < all.size();)
    {
        const size_t nEnd = std::min(all.find('\n', nBegin), all.size());
        const std::string line = all.substr(nBegin, nEnd - nBegin);
        if (line.starts_with("Backtracing for thread"))
        {
            bKeep = line.find("C:\\windows\\") == std::string::npos;
        }
        if (bKeep)
        {
            kept += line + "\n";
        }
        nBegin = nEnd + 1;
    }
    return kept;
}
} // namespace

Program::Program(const std::wstring& commandLine) : Program(commandLine, Options{}) {}

Program::Program(const std::wstring& commandLine, const Options& options)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    UniqueFile out;
    UniqueFile err;
    if (options.capture)
    {
        m_capture = std::make_unique<TempDir>();
        out = InheritableFile(*m_capture / L"out");
        err = InheritableFile(*m_capture / L"err");
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out.get();
        si.hStdError = err.get();
    }
    PROCESS_INFORMATION pi{};
    // Suspended until it is in its job: whatever it starts is in the job too.
    const DWORD dwFlags = CREATE_SUSPENDED | (options.capture ? CREATE_NO_WINDOW : 0);
    // Wine now and then loses a process while it is being made, when several start
    // at once (ERROR_INTERNAL_ERROR: the new process ended before it began; seen
    // with a shell starting trivial programs three at a time, not only here). The
    // program under test never ran then: it is started again, and the output says so.
    for (int nTry = 1;; ++nTry)
    {
        std::wstring cmd = commandLine;
        const wchar_t* pszDir = options.currentDir.empty() ? nullptr : options.currentDir.c_str();
        if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, options.capture, dwFlags,
                           nullptr, pszDir, &si, &pi))
        {
            break;
        }
        const DWORD dwError = GetLastError();
        fwprintf(stderr, L"[could not be started (error %lu, try %d): %ls]\n",
                 static_cast<unsigned long>(dwError), nTry, commandLine.c_str());
        if (dwError != ERROR_INTERNAL_ERROR || nTry == 3)
        {
            return;
        }
    }
    m_process.reset(pi.hProcess);
    const UniqueKernelHandle thread(pi.hThread);
    m_id = pi.dwProcessId;
    // Wine counts no processes of a job for QueryInformationJobObject; its port
    // tells when the last one has ended.
    m_job.reset(CreateJobObjectW(nullptr, nullptr));
    m_jobPort.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT port{m_job.get(), m_jobPort.get()};
    if (!m_job || !m_jobPort ||
        !SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits) ||
        !SetInformationJobObject(m_job.get(), JobObjectAssociateCompletionPortInformation, &port,
                                 sizeof port) ||
        !AssignProcessToJobObject(m_job.get(), m_process.get()))
    {
        m_job.reset();
    }
    if (options.countWindows)
    {
        // In place before the program's first step.
        g_nWindowsCreated = 0;
        m_hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr,
                                 &OnObjectCreated, m_id, 0, WINEVENT_OUTOFCONTEXT);
    }
    ResumeThread(thread.get());
}

Program::~Program()
{
    if (m_process && !Ended())
    {
        Kill();
    }
    // What it started (the client) ends by itself in a moment; whatever still runs
    // after that ends with the job.
    WaitForJobToEnd(5000);
    if (m_hook != nullptr)
    {
        UnhookWinEvent(m_hook);
    }
}

void Program::WaitForJobToEnd(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD dwMessage = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED pProcessId = nullptr;
    while (m_job && dwMessage != JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
    {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline ||
            !GetQueuedCompletionStatus(m_jobPort.get(), &dwMessage, &key, &pProcessId,
                                       static_cast<DWORD>(deadline - now)))
        {
            return;
        }
    }
}

DWORD Program::Wait(DWORD timeoutMs)
{
    if (!m_process)
    {
        return static_cast<DWORD>(-1);
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    const HANDLE h = m_process.get();
    bool bEnded = false;
    while (!bEnded && GetTickCount64() < deadline)
    {
        bEnded = MsgWaitForMultipleObjects(1, &h, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0;
        PumpMessages();
    }
    if (!bEnded)
    {
        // What it waits for is the first thing a reader of the failure needs.
        const HWND hDialog = Dialog(0);
        const std::wstring strText = hDialog != nullptr ? WaitForText(L"", 0) : L"";
        fwprintf(stderr, L"[still running after %lu ms; %ls%ls]\n",
                 static_cast<unsigned long>(timeoutMs),
                 hDialog != nullptr ? L"its dialog reads: " : L"no dialog of its own shows",
                 strText.c_str());
        PrintStacks();
        return static_cast<DWORD>(-1);
    }
    if (m_hook != nullptr)
    {
        // Events still on their way are delivered before anyone reads the count.
        for (int i = 0; i < 2; ++i)
        {
            Sleep(20);
            PumpMessages();
        }
        UnhookWinEvent(m_hook);
        m_hook = nullptr;
    }
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    if (code == static_cast<DWORD>(-1))
    {
        // The value Wait gives for a program that did not end: tell them apart.
        fwprintf(stderr, L"[ended by itself with exit code -1]\n");
    }
    return code;
}

void Program::PrintStacks() const
{
    fprintf(stderr, "%s\n", ThreadStacks(m_id).c_str());
}

bool Program::Ended() const
{
    return !m_process || WaitForSingleObject(m_process.get(), 0) == WAIT_OBJECT_0;
}

bool Program::Kill()
{
    if (Ended())
    {
        return false;
    }
    // The whole tree: a client it was starting must not outlive the test.
    const bool bKilled = (m_job && TerminateJobObject(m_job.get(), 997)) ||
                         TerminateProcess(m_process.get(), 997) != FALSE;
    WaitForSingleObject(m_process.get(), 10000);
    return bKilled;
}

int Program::WindowsCreated() const
{
    return g_nWindowsCreated;
}

std::wstring Program::Captured(const wchar_t* name) const
{
    return m_capture ? FromUtf8(ReadBytes(*m_capture / name)) : std::wstring();
}

HWND Program::Dialog(DWORD timeoutMs) const
{
    return Window(nullptr, L"QVS Hot-Update Client Utility", timeoutMs);
}

HWND Program::Window(const wchar_t* className, const wchar_t* caption, DWORD timeoutMs) const
{
    struct Search
    {
        DWORD pid;
        const wchar_t* className;
        const wchar_t* caption;
        HWND found;
    };
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        Search search{m_id, className, caption, nullptr};
        EnumWindows(
            [](HWND hWnd, LPARAM lParam) -> BOOL
            {
                auto* s = reinterpret_cast<Search*>(lParam);
                DWORD pid = 0;
                GetWindowThreadProcessId(hWnd, &pid);
                wchar_t text[64] = {};
                wchar_t klass[64] = {};
                GetWindowTextW(hWnd, text, 64);
                GetClassNameW(hWnd, klass, 64);
                if (pid == s->pid && IsWindowVisible(hWnd) &&
                    (s->className == nullptr || wcscmp(klass, s->className) == 0) &&
                    (s->caption == nullptr || wcscmp(text, s->caption) == 0))
                {
                    s->found = hWnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || GetTickCount64() >= deadline || Ended())
        {
            return search.found;
        }
        Sleep(20);
    }
}

std::wstring Program::WaitForText(const std::wstring& needle, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do
    {
        // The text as a whole: WM_GETTEXTLENGTH under Wine may tell less than there is.
        const HWND hEdit = GetDlgItem(Dialog(200), 1000);
        std::vector<wchar_t> buffer(4096);
        DWORD_PTR copied = 0;
        while (hEdit != nullptr &&
               SendMessageTimeoutW(hEdit, WM_GETTEXT, buffer.size(),
                                   reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000,
                                   &copied) &&
               copied + 1 >= buffer.size())
        {
            buffer.resize(buffer.size() * 2);
        }
        const std::wstring text(buffer.data(), hEdit != nullptr ? copied : 0);
        if (hEdit != nullptr && text.find(needle) != std::wstring::npos)
        {
            return text;
        }
        Sleep(20);
    } while (GetTickCount64() < deadline && !Ended());
    return {};
}

void Program::PressOk() const
{
    const HWND hDlg = Dialog();
    PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDOK)));
}

DWORD RunProgram(const std::wstring& commandLine, DWORD timeoutMs)
{
    Program program(commandLine);
    return program.Wait(timeoutMs);
}

namespace
{
// Wine starts a host program but cannot wait for it: the caller waits for its effect.
bool StartHostProgram(std::wstring command, const std::wstring& folder)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &si, &pi))
    {
        return false;
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return true;
}
} // namespace

bool MakeUnixLink(const std::wstring& parent, const std::wstring& name, const std::wstring& target)
{
    const std::wstring link = parent + L"\\" + name;
    return StartHostProgram(L"Z:\\bin\\ln -s \"" + target + L"\" \"" + name + L"\"", parent) &&
           WaitUntil([&link] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; },
                     10000);
}

void RemoveUnixLink(const std::wstring& parent, const std::wstring& name)
{
    const std::wstring link = parent + L"\\" + name;
    if (StartHostProgram(L"Z:\\bin\\rm -f \"" + name + L"\"", parent))
    {
        WaitUntil([&link] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; },
                  10000);
    }
}

std::wstring HostPath(const std::wstring& zPath)
{
    std::wstring path = zPath.substr(2);
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}
} // namespace qvstest
