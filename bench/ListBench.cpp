// Reads a server list and a client list, compares them and writes the client
// list back, as an update run does, and reports the time of each step and the
// process's peak memory. Usage: ListBench N [changed]
//   N        entries per list (the server list and the client list each)
//   changed  every installed file differs in its stamp (the most parsing)
#include "lib/ConfFile.h"
#include "lib/File.h"
#include "lib/Miscellaneous.h"
#include "lib/ResString.h"

#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <random>
#include <string>

namespace
{
double Seconds()
{
    static LARGE_INTEGER s_frequency = []
    {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(s_frequency.QuadPart);
}

double MiB(SIZE_T n)
{
    return static_cast<double>(n) / (1024.0 * 1024.0);
}

PROCESS_MEMORY_COUNTERS Memory()
{
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc;
}

std::wstring TwoDigits(unsigned n)
{
    wchar_t buffer[8];
    swprintf(buffer, 8, L"%02u", n % 100);
    return buffer;
}

std::wstring Stamp(unsigned nSeconds)
{
    // Seconds from 1 January 2026 00:00:00, in days of 28 for simplicity.
    const unsigned day = nSeconds / 86400;
    const unsigned s = nSeconds % 86400;
    return TwoDigits(day % 28 + 1) + L"/" + TwoDigits(day / 28 % 12 + 1) + L"/26 " +
           TwoDigits(s / 3600) + L":" + TwoDigits(s / 60 % 60) + L":" + TwoDigits(s % 60);
}

// A release tree: a few hundred folders up to four levels deep.
std::wstring RelativeFolder(size_t i)
{
    static const wchar_t* const kParts[] = {L"bin",       L"plugins", L"resources", L"lang",
                                            L"templates", L"reports", L"help",      L"data"};
    std::wstring folder;
    size_t n = i % 509;
    for (int level = 0; level < 4 && n != 0; ++level)
    {
        folder += kParts[n % 8];
        folder += L"_" + std::to_wstring(n % 5) + L"\\";
        n /= 8;
    }
    return folder;
}

// Writes one list file line by line, without holding the list.
class ListWriter
{
public:
    explicit ListWriter(const std::wstring& path)
        : m_file(path, CFile::modeReadWrite | CFile::modeCreate), m_ar(&m_file, CArchive::store)
    {
    }
    void Line(const std::wstring& folder, const std::wstring& name, const std::wstring& modified)
    {
        m_ar.WriteString(folder + L"\t\t" + name + L"\t\t" + modified + L"\r\n");
    }
    void Close() { m_ar.Close(); }

private:
    CFile m_file;
    CArchive m_ar;
};
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        std::fwprintf(stderr, L"usage: ListBench N [changed]\n");
        return 2;
    }
    const size_t n = std::wcstoul(argv[1], nullptr, 10);
    const bool bAllChanged = argc > 2 && std::wcscmp(argv[2], L"changed") == 0;
    if (!SCResAString::LoadModule(L"QVSCliUpdate.exe"))
    {
        return 1;
    }

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base =
        std::wstring(temp) + L"qvs-bench-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring root = base + L"\\Client";
    CreateDirectoryW(base.c_str(), nullptr);
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\bin").c_str(), nullptr);
    SetAppFolderForTesting(root + L"\\bin\\");
    const std::wstring source = L"\\\\SRV01\\Release";
    WriteConfString(L"HotUpdate", L"SourceFolder", source);

    // Of the installed files, 5 % are older than the release's and 2.5 % are
    // missing from the release; the release has 2.5 % new files. One name in
    // ten is spelled in other case by the installation.
    std::mt19937 rng(42);
    size_t nExpected = 0;
    {
        ListWriter server(base + L"\\" + kServerListName);
        ListWriter client(root + L"\\" + kClientListName);
        for (size_t i = 0; i < n; ++i)
        {
            const std::wstring relative = RelativeFolder(i);
            const std::wstring name = L"file" + std::to_wstring(i) + L".dll";
            const unsigned nStamp = static_cast<unsigned>(rng() % (300u * 86400u));
            const unsigned nKind = static_cast<unsigned>(i * 7919 % 1000);
            const bool bNew = nKind < 25;
            const bool bGone = nKind >= 25 && nKind < 50;
            const bool bOlder = bAllChanged || (nKind >= 50 && nKind < 100);
            if (!bGone)
            {
                server.Line(source + L"\\" + relative, name, Stamp(nStamp + 3600));
            }
            if (!bNew)
            {
                std::wstring clientName = name;
                if (i % 10 == 0)
                {
                    clientName = L"FILE" + std::to_wstring(i) + L".DLL";
                }
                client.Line(root + L"\\" + relative, clientName,
                            Stamp(bOlder ? nStamp : nStamp + 3600));
            }
            nExpected += (!bGone && (bNew || bOlder)) ? 1u : 0u;
        }
        server.Close();
        client.Close();
    }

    const PROCESS_MEMORY_COUNTERS before = Memory();
    const double t0 = Seconds();
    if (!OpenListFile(FileListKind::Server, base) || !ReadList(FileListKind::Server) ||
        !OpenListFile(FileListKind::Client, root) || !ReadList(FileListKind::Client))
    {
        std::fwprintf(stderr, L"reading failed: %lu\n", GetLastError());
        return 1;
    }
    const double t1 = Seconds();
    size_t nMarked = 0;
    for (const auto& pEntry : CompareLists())
    {
        nMarked += pEntry->target.empty() ? 0u : 1u;
    }
    const double t2 = Seconds();
    TruncateListFile(FileListKind::Client);
    if (!WriteList(FileListKind::Client))
    {
        std::fwprintf(stderr, L"writing failed: %lu\n", GetLastError());
        return 1;
    }
    const double t3 = Seconds();
    const PROCESS_MEMORY_COUNTERS after = Memory();

    std::wprintf(L"%7zu %-8ls read %8.1f ms  compare %8.1f ms  write %7.1f ms  total %8.1f ms"
                 L"  marked %zu/%zu  peak working set %6.1f MiB (%5.1f before reading)"
                 L"  peak pagefile %6.1f MiB (%5.1f before reading)\n",
                 n, bAllChanged ? L"changed" : L"typical", (t1 - t0) * 1000.0, (t2 - t1) * 1000.0,
                 (t3 - t2) * 1000.0, (t3 - t0) * 1000.0, nMarked, nExpected,
                 MiB(after.PeakWorkingSetSize), MiB(before.PeakWorkingSetSize),
                 MiB(after.PeakPagefileUsage), MiB(before.PeakPagefileUsage));

    ClearList(FileListKind::Server);
    ClearList(FileListKind::Client);
    CloseListFile(FileListKind::Server);
    CloseListFile(FileListKind::Client);
    DeleteFileW((base + L"\\" + kServerListName).c_str());
    DeleteFileW((root + L"\\" + kClientListName).c_str());
    DeleteFileW((root + L"\\bin\\QVS.ini").c_str());
    RemoveDirectoryW((root + L"\\bin").c_str());
    RemoveDirectoryW(root.c_str());
    RemoveDirectoryW(base.c_str());
    SCResAString::FreeModule();
    return nMarked == nExpected ? 0 : 3;
}
