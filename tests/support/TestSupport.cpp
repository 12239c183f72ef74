#include "tests/support/TestSupport.h"

#include "framework/AfxHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace qvstest
{
std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text(path);
    return text.substr(0, text.rfind(L'\\') + 1);
}

TempDir::TempDir()
{
    static std::atomic<unsigned> s_counter{0};
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    std::wstring name = std::wstring(base) + L"qvs-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(GetTickCount64()) + L"-" +
                        std::to_wstring(s_counter++);
    if (!CreateDirectoryW(name.c_str(), nullptr))
    {
        throw std::runtime_error("cannot create a temporary folder");
    }
    m_path = name;
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &fd));
    if (find)
    {
        do
        {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
            {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            {
                RemoveTree(child);
            }
            else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                RemoveDirectoryW(child.c_str());
            }
            else
            {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    find.reset();
    RemoveDirectoryW(path.c_str());
}

void MakeDirs(const std::wstring& path)
{
    for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos;
         pos = path.find(L'\\', pos + 1))
    {
        CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadBytes(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
    {
        throw std::runtime_error("cannot open a file for reading");
    }
    std::string bytes;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n > 0)
    {
        bytes.append(buffer, n);
    }
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        throw std::runtime_error("cannot create a file");
    }
    DWORD n = 0;
    if (!bytes.empty() &&
        !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr))
    {
        throw std::runtime_error("cannot write a file");
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

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
    {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty())
    {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Utf16Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

Fields FieldsOf(const SCDateTime& dt)
{
    const SYSTEMTIME& st = dt.m_st;
    return {st.wYear,   st.wMonth,  st.wDayOfWeek,    st.wDay,       st.wHour,
            st.wMinute, st.wSecond, st.wMilliseconds, dt.GetStatus()};
}

void SetLastWriteTime(const std::wstring& path, const FILETIME& ftUtc)
{
    UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file || !SetFileTime(file.get(), nullptr, nullptr, &ftUtc))
    {
        throw std::runtime_error("cannot set a file's time");
    }
}

FILETIME GetLastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    {
        throw std::runtime_error("cannot read a file's time");
    }
    return data.ftLastWriteTime;
}

FILETIME FileTimeFromUtc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

namespace
{
EventRecorder* g_pRecorder = nullptr;
MessageBoxRecorder* g_pBoxes = nullptr;
int g_fakeHandle = 0;

HANDLE WINAPI FakeRegister(LPCWSTR, LPCWSTR)
{
    ++g_pRecorder->registerCalls;
    if (g_pRecorder->registerFailuresLeft > 0)
    {
        --g_pRecorder->registerFailuresLeft;
        return nullptr;
    }
    return &g_fakeHandle;
}

BOOL WINAPI FakeReport(HANDLE, WORD wType, WORD, DWORD dwEventID, PSID, WORD wNumStrings, DWORD,
                       LPCWSTR* lpStrings, LPVOID)
{
    EventRecord record{wType, dwEventID, {}};
    for (WORD i = 0; i < wNumStrings; ++i)
    {
        record.strings.emplace_back(lpStrings[i]);
    }
    g_pRecorder->events.push_back(record);
    return TRUE;
}

BOOL WINAPI FakeDeregister(HANDLE)
{
    ++g_pRecorder->deregisterCalls;
    return TRUE;
}

const SCEventLogApi g_fakeApi = {&FakeRegister, &FakeReport, &FakeDeregister};

int WINAPI FakeMessageBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type)
{
    g_pBoxes->boxes.push_back({text ? text : L"", caption ? caption : L"", type});
    if (g_pBoxes->answers.empty())
    {
        return IDOK;
    }
    const int answer = g_pBoxes->answers.front();
    g_pBoxes->answers.erase(g_pBoxes->answers.begin());
    return answer;
}
} // namespace

EventRecorder::EventRecorder(int nRegisterFailures, bool bRegister)
    : registerFailuresLeft(nRegisterFailures)
{
    g_pRecorder = this;
    SetEventLogApi(&g_fakeApi);
    if (bRegister)
    {
        RegisterEventLogSource(L"QVSCliUpdateTest");
    }
}

EventRecorder::~EventRecorder()
{
    DeregisterEventLogSource();
    SetEventLogApi(nullptr);
    g_pRecorder = nullptr;
}

MessageBoxRecorder::MessageBoxRecorder(std::vector<int> scripted) : answers(std::move(scripted))
{
    g_pBoxes = this;
    SetMessageBoxFunction(&FakeMessageBox);
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    SetMessageBoxFunction(nullptr);
    g_pBoxes = nullptr;
}

DWORD RunProcess(const std::wstring& commandLine, const std::wstring& currentDir, DWORD timeoutMs)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = commandLine;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi))
    {
        return static_cast<DWORD>(-1);
    }
    UniqueKernelHandle process(pi.hProcess);
    UniqueKernelHandle thread(pi.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(process.get(), 999);
        return static_cast<DWORD>(-1);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        if (condition())
        {
            return true;
        }
        if (GetTickCount64() >= deadline)
        {
            return false;
        }
        Sleep(10);
    }
}

bool OnWine()
{
    const DWORD attributes = GetFileAttributesW(L"Z:\\bin\\ln");
    return attributes != INVALID_FILE_ATTRIBUTES;
}

bool StartUnixProgram(const std::wstring& commandLine, const std::wstring& currentDir)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = commandLine;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi))
    {
        return false;
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return true;
}

bool MakeUnixLink(const std::wstring& parent, const std::wstring& name,
                  const std::wstring& relativeTarget, DWORD timeoutMs)
{
    if (!OnWine() ||
        !StartUnixProgram(L"Z:\\bin\\ln -s \"" + relativeTarget + L"\" \"" + name + L"\"", parent))
    {
        return false;
    }
    const std::wstring link = parent + L"\\" + name;
    return WaitUntil(
        [&link] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; }, timeoutMs);
}

bool RemoveUnixLink(const std::wstring& parent, const std::wstring& name, DWORD timeoutMs)
{
    const std::wstring link = parent + L"\\" + name;
    if (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        return true;
    }
    if (!StartUnixProgram(L"Z:\\bin\\rm -f \"" + name + L"\"", parent))
    {
        return false;
    }
    return WaitUntil(
        [&link] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; }, timeoutMs);
}

std::wstring HostPath(const std::wstring& zPath)
{
    if (zPath.size() < 3 || (zPath[0] != L'Z' && zPath[0] != L'z') || zPath[1] != L':' ||
        zPath[2] != L'\\')
    {
        return {};
    }
    std::wstring path = zPath.substr(2);
    for (wchar_t& c : path)
    {
        if (c == L'\\')
        {
            c = L'/';
        }
    }
    return path;
}
} // namespace qvstest
