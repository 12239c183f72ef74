// Stands in for QVS.exe in tests, in the demo and in the benchmarks. Each start
// appends one line to "QVS.started" beside the program: "started", the command
// line, the current folder and the performance counter's value at the moment the
// program began to run (for timing its start from another process),
// TAB-separated, in UTF-8. While a file "QVS.hold" lies beside it, it stays
// running (holding its own file open, as a running client does).
#include <windows.h>

#include <string>

namespace
{
std::string Utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
    if (n > 1)
    {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    }
    return out;
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // The counter is the same for every process of the machine.
    LARGE_INTEGER startCount{};
    QueryPerformanceCounter(&startCount);

    wchar_t module[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
    std::wstring folder(module);
    folder.erase(folder.rfind(L'\\') + 1);

    wchar_t cwd[MAX_PATH * 4] = {};
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);

    const std::string line = "started\t" + Utf8(GetCommandLineW()) + "\t" + Utf8(cwd) + "\t" +
                             std::to_string(startCount.QuadPart) + "\r\n";
    // One writer at a time: Wine's appends from two processes at once are not atomic
    // (of 100 starts made 20 at a time, one line was lost), and two starts of the
    // updater at once start two clients.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 2000; ++i)
    {
        file = CreateFileW((folder + L"QVS.started").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
        {
            break;
        }
        Sleep(5);
    }
    if (file != INVALID_HANDLE_VALUE)
    {
        DWORD written = 0;
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }
    for (int i = 0;
         i < 600 && GetFileAttributesW((folder + L"QVS.hold").c_str()) != INVALID_FILE_ATTRIBUTES;
         ++i)
    {
        Sleep(100);
    }
    return 0;
}
