// Reads a server list and a client list, compares them and writes the client
// list back, as an update run does, and reports the time of each step and the
// process's peak memory. Usage: ListBench N [changed] [nested]
//   N        entries per list (the server list and the client list each)
//   changed  every installed file differs in its stamp (the most parsing)
//   nested   also times a plain nested scan that marks the same entries: each
//            server entry against every client entry in turn
#include "lib/ConfFile.h"
#include "lib/File.h"
#include "lib/Miscellaneous.h"
#include "lib/ResString.h"
#include "lib/Time.h"
#include "resource.h"

#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

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

bool SameNoCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring WithoutPrefix(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
}

int64_t StampSeconds(const std::wstring& stamp, const std::wstring& pattern)
{
    SCDateTime time(0);
    time.Parse(stamp.c_str(), pattern);
    return time.GetTime();
}

// The plain way to the same marks: every server entry against every client entry
// (relative folders cut once per entry, stamps parsed when a pair differs). The
// number of server entries it would mark.
size_t NestedScan(const std::wstring& root, const std::wstring& source)
{
    const FileList& serverList = GetList(FileListKind::Server);
    const FileList& clientList = GetList(FileListKind::Client);
    const SCResAString pattern(IDS_TIMESTAMP_PATTERN);
    std::vector<std::wstring> clientFolders;
    clientFolders.reserve(clientList.size());
    for (const auto& pClient : clientList)
    {
        clientFolders.push_back(WithoutPrefix(pClient->folder, root + L"\\"));
    }
    size_t nMarked = 0;
    for (const auto& pServer : serverList)
    {
        const std::wstring folder = WithoutPrefix(pServer->folder, source + L"\\");
        bool bMatched = false;
        bool bNewer = false;
        for (size_t j = 0; j < clientList.size(); ++j)
        {
            const FileListEntry& client = *clientList[j];
            if (!SameNoCase(pServer->name, client.name) || !SameNoCase(folder, clientFolders[j]))
            {
                continue;
            }
            bMatched = true;
            if (pServer->modified != client.modified &&
                StampSeconds(pServer->modified, pattern) > StampSeconds(client.modified, pattern))
            {
                bNewer = true;
            }
        }
        nMarked += (!bMatched || bNewer) ? 1u : 0u;
    }
    return nMarked;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        std::fwprintf(stderr, L"usage: ListBench N [changed] [nested]\n");
        return 2;
    }
    const size_t n = std::wcstoul(argv[1], nullptr, 10);
    bool bAllChanged = false;
    bool bNested = false;
    for (int i = 2; i < argc; ++i)
    {
        bAllChanged = bAllChanged || std::wcscmp(argv[i], L"changed") == 0;
        bNested = bNested || std::wcscmp(argv[i], L"nested") == 0;
    }
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

    // The nested scan works on the lists as they were read (the comparison only
    // set targets, which the scan does not look at).
    double tNested = 0.0;
    size_t nNestedMarked = nExpected;
    if (bNested)
    {
        const double t4 = Seconds();
        nNestedMarked = NestedScan(root, source);
        tNested = Seconds() - t4;
    }

    std::wprintf(L"%7zu %-8ls read %8.1f ms  compare %8.1f ms  write %7.1f ms  total %8.1f ms"
                 L"  marked %zu/%zu  peak working set %6.1f MiB (%5.1f before reading)"
                 L"  peak pagefile %6.1f MiB (%5.1f before reading)\n",
                 n, bAllChanged ? L"changed" : L"typical", (t1 - t0) * 1000.0, (t2 - t1) * 1000.0,
                 (t3 - t2) * 1000.0, (t3 - t0) * 1000.0, nMarked, nExpected,
                 MiB(after.PeakWorkingSetSize), MiB(before.PeakWorkingSetSize),
                 MiB(after.PeakPagefileUsage), MiB(before.PeakPagefileUsage));

    if (bNested)
    {
        std::wprintf(L"%7zu %-8ls nested scan %8.1f ms  marked %zu/%zu\n", n,
                     bAllChanged ? L"changed" : L"typical", tNested * 1000.0, nNestedMarked,
                     nExpected);
    }

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
    return nMarked == nExpected && nNestedMarked == nExpected ? 0 : 3;
}
