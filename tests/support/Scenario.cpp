#include "tests/support/Scenario.h"

#include "lib/BlockIndex.h"
#include "lib/File.h"
#include "lib/Miscellaneous.h"
#include "lib/SignedStamp.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <tuple>

namespace qvstest
{
namespace
{
const wchar_t kServerList[] = L"HotUpdateFileList_Server.txt";
const wchar_t kClientList[] = L"HotUpdateFileList_Client.txt";
const wchar_t kRecord[] = L"HotUpdateFileList_Server.sha256";

bool IsListName(const std::wstring& name)
{
    return CompareStringOrdinal(name.c_str(), -1, kServerList, -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(name.c_str(), -1, kClientList, -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(name.c_str(), -1, kRecord, -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(name.c_str(), -1, L"HotUpdateInstall.journal", -1, TRUE) == CSTR_EQUAL;
}

std::tuple<DWORD, DWORD, DWORD> Identity(const std::wstring& path)
{
    BY_HANDLE_FILE_INFORMATION info{};
    const UniqueFile folder(CreateFileW(AfxLongPathForm(path).c_str(), 0, 7, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder || !GetFileInformationByHandle(folder.get(), &info))
    {
        return {~0u, ~0u, ~0u};
    }
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// A folder link that leads to a folder the walk is in: shown, never entered.
bool LeadsBackUp(const std::wstring& root, std::wstring relative, const std::wstring& path)
{
    const auto target = Identity(path);
    for (;;)
    {
        if (Identity(relative.empty() ? root : root + L"\\" + relative) == target)
        {
            return true;
        }
        if (relative.empty())
        {
            return false;
        }
        const size_t slash = relative.rfind(L'\\');
        relative = slash == std::wstring::npos ? std::wstring() : relative.substr(0, slash);
    }
}

// One pass over a tree: each file opened once, as the walk opens it.
void Collect(const std::wstring& root, const std::wstring& relative,
             const std::set<std::wstring>& skip, Tree& tree, std::vector<Walked>* pWalk)
{
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    ForEachEntry(folder,
                 [&](const WIN32_FIND_DATAW& fd)
                 {
                     const std::wstring name = fd.cFileName;
                     const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
                     const std::wstring path = folder + L"\\" + name;
                     const bool bListed = name != L"QVSCliUpdate.log";
                     if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                     {
                         if (skip.count(child) != 0)
                         {
                             return;
                         }
                         if (pWalk != nullptr && bListed)
                         {
                             pWalk->push_back({path, true, 0, {}});
                         }
                         if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
                             !LeadsBackUp(root, relative, path))
                         {
                             Collect(root, child, skip, tree, bListed ? pWalk : nullptr);
                         }
                         return;
                     }
                     const UniqueFile file(CreateFileW(AfxLongPathForm(path).c_str(), GENERIC_READ,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                       OPEN_EXISTING, 0, nullptr));
                     const DWORD dwError = file ? 0 : GetLastError();
                     // Temporary copies that ended runs left are removed by the walk.
                     if (pWalk != nullptr && bListed && !IsListName(name) &&
                         !name.starts_with(L"~QVSCopy-"))
                     {
                         pWalk->push_back({path, false, dwError, fd.ftLastWriteTime});
                     }
                     if (skip.count(child) == 0)
                     {
                         FileState& state = tree[child];
                         state.stamp = fd.ftLastWriteTime;
                         state.attributes = fd.dwFileAttributes;
                         state.bytes = file ? ReadAll(file.get()) : "<unreadable>";
                     }
                 });
}

ULONGLONG Ticks(const FILETIME& ft)
{
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The list's stamp of a file: its local time under the offset in force now.
std::wstring ListStamp(const FILETIME& ftUtc)
{
    FILETIME ftLocal{};
    SYSTEMTIME st{};
    FileTimeToLocalFileTime(&ftUtc, &ftLocal);
    FileTimeToSystemTime(&ftLocal, &st);
    wchar_t text[32] = {};
    swprintf(text, 32, L"%02u/%02u/%02u %02u:%02u:%02u", st.wDay, st.wMonth, st.wYear % 100,
             st.wHour, st.wMinute, st.wSecond);
    return text;
}

// The file lines the walk shows and the client list holds, in the walk's order.
std::vector<std::wstring> EntryLines(const std::vector<Walked>& walk)
{
    std::vector<std::wstring> lines;
    for (const Walked& item : walk)
    {
        if (!item.folder && item.error == 0)
        {
            const size_t slash = item.path.rfind(L'\\');
            lines.push_back(MaskIniStamp(item.path.substr(0, slash + 1) + L"\t\t" +
                                         item.path.substr(slash + 1) + L"\t\t" +
                                         ListStamp(item.stamp) + L"\r\n"));
        }
    }
    return lines;
}

std::wstring Grouped(ULONGLONG n)
{
    std::wstring digits = std::to_wstring(n);
    for (size_t at = digits.size(); at > 3; at -= 3)
    {
        digits.insert(at - 3, 1, L',');
    }
    return digits;
}

// The log's line of the bytes a run read, and where its figure of the share's bytes is.
const std::string kBytesLine = "The copied files hold ";
const std::string kReadFigure = "; ";
const std::string kReadPlaceholder = "<read>";

// The figure of the share's bytes in a log, and the log with it as the placeholder.
ULONGLONG TakeBytesRead(std::string& log)
{
    const size_t line = log.find(kBytesLine);
    const size_t at =
        line == std::string::npos ? line : log.find(kReadFigure, line) + kReadFigure.size();
    if (at == std::string::npos)
    {
        return 0;
    }
    const size_t end = log.find(' ', at);
    std::string figure = log.substr(at, end - at);
    log.replace(at, end - at, kReadPlaceholder);
    std::erase(figure, ',');
    return std::stoull(figure);
}

std::string Acp(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                        bytes.data(), n, nullptr, nullptr);
    return bytes;
}
} // namespace

std::wstring MaskIniStamp(std::wstring text)
{
    const std::wstring key = L"\t\tQVS.ini\t\t";
    for (size_t pos = text.find(key); pos != std::wstring::npos; pos = text.find(key, pos + 1))
    {
        text.replace(pos + key.size(), 17, L"<stamp>");
    }
    return text;
}

bool FileState::operator==(const FileState& other) const
{
    return bytes == other.bytes && CompareFileTime(&stamp, &other.stamp) == 0 &&
           attributes == other.attributes;
}

Tree Scan(const std::wstring& root, const std::set<std::wstring>& skip, std::vector<Walked>* pWalk)
{
    Tree tree;
    Collect(root, L"", skip, tree, pWalk);
    return tree;
}

std::string Differences(const Tree& expected, const Tree& actual)
{
    std::string text;
    for (const auto& [path, state] : expected)
    {
        const auto it = actual.find(path);
        if (it == actual.end())
        {
            text.append("missing: ").append(ToUtf8(path)).append("\n");
        }
        else if (!(it->second == state))
        {
            text.append("changed: ").append(ToUtf8(path));
            text.append(it->second.bytes != state.bytes ? " (bytes)" : "");
            text.append(CompareFileTime(&it->second.stamp, &state.stamp) != 0 ? " (stamp)" : "");
            text.append(it->second.attributes != state.attributes ? " (attributes)" : "");
            text.append("\n");
        }
    }
    for (const auto& [path, state] : actual)
    {
        if (expected.count(path) == 0)
        {
            text.append("unexpected: ").append(ToUtf8(path)).append("\n");
        }
    }
    return text;
}

std::string Content(size_t size, const std::string& version)
{
    std::string text;
    text.reserve(size + 4096);
    uint32_t seed = 2166136261u;
    for (const char c : version)
    {
        seed = (seed ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    for (size_t block = 0; text.size() < size; ++block)
    {
        std::string line = version + " block " + std::to_string(block) + "\n";
        uint32_t x = (seed ^ static_cast<uint32_t>(block * 2654435761u)) | 1u;
        while (line.size() < 4096)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            line += static_cast<char>('a' + x % 26);
        }
        text += line;
    }
    text.resize(size);
    return text;
}

// ---- CopyWatch ----

CopyWatch::CopyWatch(const std::wstring& root)
    : m_dir(CreateFileW(root.c_str(), FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr)),
      m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_buffer(16384)
{
    m_overlapped.hEvent = m_event.get();
    if (!m_dir || !ReadDirectoryChangesW(m_dir.get(), m_buffer.data(),
                                         static_cast<DWORD>(m_buffer.size() * sizeof(DWORD)), TRUE,
                                         FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &m_overlapped,
                                         nullptr))
    {
        throw std::runtime_error("cannot watch the installation");
    }
}

CopyWatch::~CopyWatch()
{
    CancelIoEx(m_dir.get(), &m_overlapped);
    DWORD n = 0;
    GetOverlappedResult(m_dir.get(), &m_overlapped, &n, TRUE);
}

bool CopyWatch::WaitFor(const Program& program, size_t n, const std::vector<std::wstring>& folders,
                        DWORD timeoutMs)
{
    const ULONGLONG began = GetTickCount64();
    while (m_seen.size() < n)
    {
        if (WaitForSingleObject(m_event.get(), 20) != WAIT_OBJECT_0)
        {
            if (program.Ended() || (timeoutMs != INFINITE && GetTickCount64() - began > timeoutMs))
            {
                return false;
            }
            continue;
        }
        DWORD nBytes = 0;
        GetOverlappedResult(m_dir.get(), &m_overlapped, &nBytes, FALSE);
        for (size_t offset = 0; offset < nBytes;)
        {
            const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(
                reinterpret_cast<const char*>(m_buffer.data()) + offset);
            const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            const size_t slash = name.rfind(L'\\');
            const std::wstring folder = slash == std::wstring::npos ? L"" : name.substr(0, slash);
            if (name.find(L"~QVSCopy-") != std::wstring::npos &&
                std::find(folders.begin(), folders.end(), folder) != folders.end())
            {
                m_seen.insert(name);
            }
            if (info->NextEntryOffset == 0)
            {
                break;
            }
            offset += info->NextEntryOffset;
        }
        ResetEvent(m_event.get());
        ReadDirectoryChangesW(m_dir.get(), m_buffer.data(),
                              static_cast<DWORD>(m_buffer.size() * sizeof(DWORD)), TRUE,
                              FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &m_overlapped, nullptr);
    }
    return true;
}

// ---- Stall ----

ShareControl::ShareControl(const Release& rel, const std::wstring& kind, const std::string& text)
{
    const wchar_t* control = _wgetenv(L"QVS_STALL_CONTROL");
    if (control == nullptr)
    {
        throw std::runtime_error("QVS_STALL_CONTROL is not set: run the tests through scripts/test");
    }
    m_path = std::wstring(control) + L"\\" + rel.name() + L"." + kind;
    WriteBytes(m_path, text);
}

ServedBytes::ServedBytes(const Release& rel) : ShareControl(rel, L"count", "")
{
    DeleteFileW((m_path.substr(0, m_path.size() - 5) + L"served").c_str());
}

ULONGLONG ServedBytes::Total() const
{
    const std::wstring served = m_path.substr(0, m_path.size() - 5) + L"served";
    return Exists(served) ? std::stoull(ReadBytes(served)) : 0;
}

ULONGLONG ServedBytes::Of(const std::wstring& file) const
{
    const std::wstring served = m_path.substr(0, m_path.size() - 5) + L"served";
    std::string path = " " + ToUtf8(file) + "\n";
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::string text = Exists(served) ? ReadBytes(served) : "";
    const size_t at = text.find(path);
    return at == std::string::npos ? 0 : std::stoull(text.substr(text.rfind('\n', at) + 1));
}

// ---- Release ----

Release::Release(const wchar_t* baseVariable)
{
    // The test command shares the build's top folder as \\COMPUTER\<top> and names
    // folders below it in QVS_UNC_LOCAL and QVS_STALL_MOUNT.
    const wchar_t* base = _wgetenv(baseVariable);
    if (base == nullptr || wcsncmp(base, L"Z:\\", 3) != 0)
    {
        throw std::runtime_error(ToUtf8(baseVariable) + " is not set: run the tests through scripts/test");
    }
    m_local = std::wstring(base) + L"\\" + FreshName(L"rel-");
    RemoveTree(m_local);
    MakeDirs(m_local);
    m_unc = L"\\\\" + ComputerName() + m_local.substr(2);
}

Release::~Release()
{
    RemoveTree(m_local);
}

void Release::Put(const std::wstring& relative, const std::string& bytes, const FILETIME& ft)
{
    ++m_nChanges;
    WriteBytes(Path(relative), bytes, &ft);
}

DWORD Release::Publish(const std::wstring& options, const std::wstring& publishedAs)
{
    // Clients compare the list's stamp to the second: a list made in the same
    // second as the one they took would go unseen.
    WaitUntil(
        [this]
        {
            FILETIME now{};
            GetSystemTimeAsFileTime(&now);
            return Ticks(now) / 10000000 > m_nListSecond;
        },
        2000);
    ++m_nChanges;
    Program::Options run;
    run.capture = true;
    // A backslash before the closing quote is doubled, or it would escape the quote.
    const std::wstring quoted = publishedAs.ends_with(L'\\') ? publishedAs + L"\\" : publishedAs;
    Program tool(L"\"" + ExeFolder() + L"QVSMakeList.exe\" " + options + (options.empty() ? L"" : L" ") +
                     (publishedAs.empty() ? L"" : L"--published-as \"" + quoted + L"\" ") +
                     L"\"" + m_local + L"\"",
                 run);
    const DWORD code = tool.Wait();
    m_published = tool.out() + tool.err();
    if (!publishedAs.empty())
    {
        m_unc = publishedAs.ends_with(L'\\') ? publishedAs.substr(0, publishedAs.size() - 1)
                                              : publishedAs;
    }
    m_nListSecond = Ticks(Stamp(Path(kServerList))) / 10000000;
    return code;
}

// ---- Installation ----

Installation::Installation(const std::wstring& rootName, const std::wstring& parent)
    : m_temp(parent), m_root(m_temp / rootName)
{
    MakeDirs(bin());
    const std::wstring from = ExeFolder();
    if (!CopyFileW((from + L"QVSCliUpdate.exe").c_str(), (bin() + L"\\QVSCliUpdate.exe").c_str(),
                   FALSE) ||
        !CopyFileW((from + L"StandInClient.exe").c_str(), (bin() + L"\\QVS.exe").c_str(), FALSE))
    {
        throw std::runtime_error("cannot lay out the installation");
    }
}

std::wstring Installation::Command(const std::wstring& arguments) const
{
    return L"\"" + bin() + L"\\QVSCliUpdate.exe\"" + (arguments.empty() ? L"" : L" " + arguments);
}

void Installation::Configure(const std::wstring& source, const std::wstring& moreLines) const
{
    WriteUtf16(bin() + L"\\QVS.ini",
               L"\xFEFF[HotUpdate]\r\nSourceFolder=" + source + L"\r\n" + moreLines);
}

void Installation::Put(const std::wstring& relative, const std::string& bytes,
                       const FILETIME& ft) const
{
    WriteBytes(Path(relative), bytes, &ft);
}

void Installation::WaitUntilNoRun() const
{
    SCInstallationLock lock;
    if (lock.Acquire(m_root, 60000) != SCInstallationLock::Result::Acquired)
    {
        throw std::runtime_error("a start kept the installation for a minute");
    }
}

std::wstring Installation::Ini(const wchar_t* key) const
{
    wchar_t value[1024] = {};
    GetPrivateProfileStringW(L"HotUpdate", key, L"<missing>", value, 1024,
                             (bin() + L"\\QVS.ini").c_str());
    return value;
}

std::string Installation::Log() const
{
    const std::wstring path = bin() + L"\\QVSCliUpdate.log";
    return Exists(path) ? ReadBytes(path) : "<no log>";
}

std::vector<std::wstring> Installation::ClientStarts() const
{
    const std::wstring path = bin() + L"\\QVS.started";
    std::vector<std::wstring> lines;
    const std::wstring text = Exists(path) ? FromUtf8(ReadBytes(path)) : L"";
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos;
         start = end + 2)
    {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::set<std::wstring> Installation::Volatile() const
{
    return {L"bin\\QVS.ini", L"bin\\QVSCliUpdate.log", L"bin\\QVS.started", kServerList,
            kClientList};
}

// ---- Scenario ----

Scenario::Scenario(const std::wstring& rootName, const wchar_t* releaseBase)
    : rel(releaseBase), inst(rootName)
{
    inst.Configure(rel.unc());
}

Scenario::Before Scenario::Take() const
{
    Before before;
    before.tree = Scan(inst.root(), inst.Volatile(), &before.walk);
    if (m_nReleaseSeen != rel.changes())
    {
        std::vector<Walked> releaseWalk;
        // The release's files, without its list, record and block indexes, which are
        // never copied.
        m_release = Scan(rel.local(), {kServerList, kRecord, kBlockIndexFolder}, &releaseWalk);
        m_copyOrder.clear();
        for (const Walked& item : releaseWalk)
        {
            if (!item.folder)
            {
                m_copyOrder.push_back(item.path.substr(rel.local().size() + 1));
            }
        }
        // A file that could not be read (held by the test) is read again next time.
        const bool bWhole = std::none_of(m_release.begin(), m_release.end(), [](const auto& item)
                                         { return item.second.bytes == "<unreadable>"; });
        m_nReleaseSeen = bWhole ? rel.changes() : ~0u;
    }
    before.release = m_release;
    before.copyOrder = m_copyOrder;
    const std::wstring ini = inst.bin() + L"\\QVS.ini";
    before.ini = Exists(ini) ? ReadBytes(ini) : "";
    before.nStarts = inst.ClientStarts().size();
    GetLocalTime(&before.time);
    return before;
}

std::vector<Scenario::Copy> Scenario::InCopyOrder(const Before& before, std::vector<Copy> copies)
{
    const auto rank = [&before](const Copy& c)
    { return std::find(before.copyOrder.begin(), before.copyOrder.end(), c.file); };
    std::stable_sort(copies.begin(), copies.end(),
                     [&rank](const Copy& a, const Copy& b) { return rank(a) < rank(b); });
    return copies;
}

std::vector<std::wstring> Scenario::Messages(const Before& before,
                                             const std::vector<Copy>& copies) const
{
    std::vector<std::wstring> messages;
    const std::wstring key = inst.Ini(L"ReleaseKey");
    messages.push_back(!settings.empty() ? settings
                       : L"Settings in force: SourceFolder from QVS.ini, ReleaseKey " +
                             std::wstring(key.empty() || key == L"<missing>" ? L"not set"
                                                                             : L"from QVS.ini") +
                             L".");
    for (const Walked& item : before.walk)
    {
        if (item.folder)
        {
            messages.push_back(L"Reading directory..." + item.path + L"\r\n");
        }
        else if (item.error != 0)
        {
            messages.push_back(L"Error!.." + ReasonText(item.error) + L" (" + item.path + L")\r\n");
        }
    }
    messages.push_back(L"Saving to file to ...." + inst.root() + L"\\" + kClientList + L"\r\n\r\n");
    if (!unverified.empty())
    {
        messages.push_back(unverified);
    }
    // Each file as it is staged, up to the first that fails; then, when every one
    // was staged, the file that could not take its place.
    const std::wstring held = HeldText(copies);
    ULONGLONG copied = 0;
    bool bLarge = false;
    for (const Copy& copy : InCopyOrder(before, copies))
    {
        const bool bStaged = copy.error == ERROR_SUCCESS || copy.error == kHeld;
        const std::wstring shown = Upper(rel.unc() + L"\\" + copy.file);
        if (copy.whole == kIndexRefused)
        {
            SCSha256::Digest digest{};
            const std::string& bytes = before.release.at(copy.file).bytes;
            SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
            messages.push_back(L"The block index " + rel.unc() + L"\\" + kBlockIndexFolder +
                               L"\\" + SCBlockIndex::FileName(digest) +
                               L" does not match the release record: " + shown +
                               L" was copied whole.");
        }
        else if (copy.whole == kBuiltNotRelease)
        {
            messages.push_back(shown + L", built from the blocks of the installed file, does not "
                                       L"match the release: it was copied whole.");
        }
        if (bStaged)
        {
            copied += before.release.at(copy.file).bytes.size();
            bLarge = bLarge || before.release.at(copy.file).bytes.size() >= kBlockIndexThreshold;
        }
        messages.push_back(bStaged ? L"Copying..." + Upper(rel.unc() + L"\\" + copy.file)
                           : copy.error == kNotRelease ? L"Error!.." + NotReleaseText(copy.file) + L"\r\n"
                                                       : L"Error!.." + SystemText(copy.error));
        if (!bStaged)
        {
            break;
        }
    }
    if (!copies.empty() && messages.back().starts_with(L"Copying..."))
    {
        // Files of a block index's size may be built from their installed versions:
        // what they read is the scenario's to check.
        messages.push_back(L"The copied files hold " + Grouped(copied) + L" bytes; " +
                           (bLarge ? FromUtf8(kReadPlaceholder) : Grouped(copied)) +
                           L" bytes of them were read from the release folder.");
    }
    if (!held.empty() && messages.back().starts_with(L"The copied files hold "))
    {
        messages.push_back(L"Error!.." + held + L"\r\n");
    }
    if (!afterRun.empty())
    {
        messages.push_back(afterRun);
    }
    return messages;
}

void Scenario::ExpectUpdate(const std::vector<Copy>& copies, const std::wstring& arguments)
{
    const Before before = Take();
    Program program(inst.Command(arguments), Program::CountingWindows());
    ASSERT_EQ(0u, program.Wait());
    EXPECT_GT(program.WindowsCreated(), 0) << "an update shows its dialog";
    CheckUpdate(before, copies);
}

void Scenario::CheckUpdate(const Before& before, const std::vector<Copy>& copies, bool bClient)
{
    SYSTEMTIME after{};
    GetLocalTime(&after);
    // The client, started once, from its own folder, without arguments.
    const auto started = [&] { return inst.ClientStarts().size() > before.nStarts; };
    EXPECT_EQ(bClient, WaitUntil(started, bClient ? 10000 : 300));
    const std::vector<std::wstring> starts = inst.ClientStarts();
    EXPECT_EQ(before.nStarts + (bClient ? 1 : 0), starts.size());
    if (bClient && !starts.empty())
    {
        EXPECT_EQ(0u, starts.back().find(L"started\t\"" + inst.bin() + L"\\QVS.exe\"\t"))
            << ToUtf8(starts.back());
    }

    // The outcome: the reason of the first copy that failed, in the order of the
    // copy, or of the file that could not take its place.
    std::wstring reason;
    for (const Copy& copy : InCopyOrder(before, copies))
    {
        if (reason.empty() && copy.error != ERROR_SUCCESS && copy.error != kHeld)
        {
            reason = copy.error == kNotRelease ? NotReleaseText(copy.file) : ReasonText(copy.error);
        }
    }
    if (reason.empty())
    {
        reason = HeldText(copies);
    }

    // The release whole, or nothing: exactly the planned files changed, each to the
    // release's bytes, stamp and attributes, or none did; no temporary copy is left.
    Tree expected = before.tree;
    for (const Copy& copy : copies)
    {
        if (reason.empty())
        {
            FileState& state = expected[copy.file] = before.release.at(copy.file);
            if (signedStamps)
            {
                EXPECT_TRUE(SCSignedStampFileTime(ListedStamp(copy.file), state.stamp))
                    << ToUtf8(copy.file);
            }
        }
    }
    std::erase_if(expected, [](const auto& item)
                  { return item.first.find(L"~QVSCopy-") != std::wstring::npos; });
    EXPECT_EQ("", Differences(expected, Scan(inst.root(), inst.Volatile())));
    EXPECT_EQ(reason.empty() ? L"1" : L"0", inst.Ini(L"UpdateSucceeded"));
    EXPECT_EQ(reason, inst.Ini(L"UpdateFailureReason"));
    // The moment, to the millisecond, within the run: the fixed-width text orders as time does.
    const auto text = [](const SYSTEMTIME& st)
    {
        wchar_t buffer[32] = {};
        swprintf(buffer, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
                 st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
        return std::wstring(buffer);
    };
    const std::wstring when = inst.Ini(L"UpdateDateTime");
    EXPECT_TRUE(when.size() == 23 && text(before.time) <= when && when <= text(after))
        << "UpdateDateTime=" << ToUtf8(when);

    // The log: the walk's folders (and files it could not read) in its order, the
    // saved list, each copy; characters the code page lacks as its default character.
    const std::string expectedLog = LogText(Messages(before, copies));
    std::string log = inst.Log();
    if (expectedLog.find(kReadPlaceholder) != std::string::npos)
    {
        bytesRead = TakeBytesRead(log);
    }
    else
    {
        std::string unmasked = log;
        bytesRead = TakeBytesRead(unmasked);
    }
    EXPECT_EQ(expectedLog, log);

    // The client list: the installation as it was found, newest entry first.
    std::vector<std::wstring> lines = EntryLines(before.walk);
    std::reverse(lines.begin(), lines.end());
    std::wstring list;
    for (const std::wstring& line : lines)
    {
        list += line;
    }
    EXPECT_EQ(ToUtf8(list), ToUtf8(MaskIniStamp(ReadUtf16(inst.Path(kClientList)))));

    // A completed run took the release list as seen.
    if (reason.empty())
    {
        EXPECT_TRUE(ReadBytes(rel.Path(kServerList)) == ReadBytes(inst.Path(kServerList)));
    }
}

std::wstring Scenario::ListedStamp(const std::wstring& file) const
{
    const size_t slash = file.rfind(L'\\');
    const std::wstring line = rel.unc() + L"\\" + file.substr(0, slash + 1) + L"\t\t" +
                              file.substr(slash + 1) + L"\t\t";
    const std::wstring list = ReadUtf16(rel.Path(kServerList));
    const size_t at = list.find(line);
    return at == std::wstring::npos ? std::wstring() : list.substr(at + line.size(), 17);
}

std::wstring Scenario::HeldText(const std::vector<Copy>& copies) const
{
    const auto held = std::find_if(copies.begin(), copies.end(),
                                   [](const Copy& copy) { return copy.error == kHeld; });
    return held == copies.end() ? std::wstring()
                                : inst.Path(held->file) + L" could not be replaced: " +
                                      ReasonText(ERROR_SHARING_VIOLATION) +
                                      L" Nothing was installed: the installation is the release it had.";
}

std::wstring Scenario::NotReleaseText(const std::wstring& file) const
{
    return Upper(rel.unc() + L"\\" + file) + L" does not match the release: it was not installed.";
}

std::string Scenario::LogText(const std::vector<std::wstring>& messages)
{
    std::string log;
    for (const std::wstring& message : messages)
    {
        log += Acp(message) + "\r\n";
    }
    return log;
}

std::wstring Scenario::BoxText(const std::vector<std::wstring>& messages, const Before& before)
{
    std::wstring box;
    for (auto it = messages.rbegin(); it != messages.rend() - 1; ++it)
    {
        box += *it + L"\r\n";
    }
    for (const std::wstring& line : EntryLines(before.walk))
    {
        box += line;
    }
    return box;
}

void Scenario::ExpectClientOnly(const std::wstring& arguments)
{
    const Before before = Take();
    Program program(inst.Command(arguments), Program::CountingWindows());
    ASSERT_EQ(0u, program.Wait());
    EXPECT_EQ(0, program.WindowsCreated());
    EXPECT_TRUE(WaitUntil([&] { return inst.ClientStarts().size() > before.nStarts; }, 10000));
    EXPECT_EQ(before.nStarts + 1, inst.ClientStarts().size());
    EXPECT_EQ(before.ini, ReadBytes(inst.bin() + L"\\QVS.ini"));
    EXPECT_EQ("", inst.Log());
    EXPECT_EQ("", Differences(before.tree, Scan(inst.root(), inst.Volatile())));
}
} // namespace qvstest
