// A year of mornings in one sequence: releases published one over the other with
// QVSMakeList on the stalling share, the real QVSCliUpdate updating one installation,
// the stand-in client recording its starts, and faults at seeded random moments:
// starts killed (at copy moments too, some on a lagging share), the share stalling,
// going away, or dropping single reads (at the check, the list's and the record's
// read, inside a copy),
// release files damaged after publishing, installed files read-only, held open or
// loaded as a library, broken lists, two starts at once, forced runs. After every
// start: the installation holds only contents ever published for each file (or what
// it held before any release), nothing outside it changed, no everyday start kept
// the user waiting twice for one release, every start ended by itself (or after the
// one OK the rules allow) and started the client, no temporary copy outlived the
// next run; after every start that ended by itself, the installation is exactly one
// release as published (or as it was before any), never a mix; and a start without
// a fault of its own brought the installation to the latest sound release, whole,
// unless the release's three runs were spent, or else changed nothing.
#include "lib/Miscellaneous.h"
#include "lib/Sha256.h"
#include "tests/support/Scenario.h"

#include <cstdio>
#include <functional>
#include <random>

using namespace qvstest;

namespace
{
// ReleaseFolderTimeoutSeconds and ReleaseFolderStallSeconds of the installation.
constexpr DWORD kDeadlineSeconds = 1;
// How long the install tries a file another program holds open without sharing
// before it puts the release back (as long as a virus scanner may hold one).
constexpr DWORD kHeldFileMs = 2600;
// A start ends by itself within its deadline, the wait for a held file, and a few
// seconds (a loaded machine).
constexpr DWORD kBoundMs = kDeadlineSeconds * 1000 + kHeldFileMs + 3000;
// A run's dialog up with the installation's lock free this long waits for OK.
constexpr DWORD kWaitingMs = 1000;
const wchar_t kList[] = L"HotUpdateFileList_Server.txt";
const char kListName[] = "HotUpdateFileList_Server.txt";
const char kRecordName[] = "HotUpdateFileList_Server.sha256";
const wchar_t kTemporary[] = L"~QVSCopy-";
const wchar_t kJournal[] = L"HotUpdateInstall.journal";
const wchar_t kProbe[] = L"bin\\probe.dll";

using Digest = SCSha256::Digest;
Digest Hash(const std::string& bytes)
{
    Digest digest{};
    SCSha256::HashBytes(bytes.data(), bytes.size(), digest);
    return digest;
}

// The temporary copies have a rule of their own (and an abandoned copy of a start
// before may still write one).
Tree WithoutTemporaries(Tree tree)
{
    std::erase_if(tree, [](const auto& entry) { return entry.first.find(kTemporary) != std::wstring::npos; });
    return tree;
}

ULONGLONG Seconds(const FILETIME& ft)
{
    return ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000000;
}

// The list's time as QVS.ini's FailedReleaseListTime names a release.
std::wstring ReleaseTime(const FILETIME& ftUtc)
{
    FILETIME local{};
    SYSTEMTIME st{};
    FileTimeToLocalFileTime(&ftUtc, &local);
    FileTimeToSystemTime(&local, &st);
    wchar_t text[32] = {};
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u.000", st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond);
    return text;
}

enum class Fault { None, Kill, Stall, Gone, Drop, Damage, ReadOnly, Lock, InUse, List, Two, Force };
// QVS_FAULTS names the kinds a run injects (all of them without it).
const std::pair<const char*, Fault> kKinds[] = {
    {"kill", Fault::Kill},         {"stall", Fault::Stall}, {"gone", Fault::Gone},
    {"drop", Fault::Drop},         {"damage", Fault::Damage}, {"readonly", Fault::ReadOnly},
    {"lock", Fault::Lock},         {"inuse", Fault::InUse}, {"list", Fault::List},
    {"two", Fault::Two},           {"force", Fault::Force}};

// The stalling share's control files for one release folder; whatever is set is
// removed on destruction, so that no stall outlives a failed test (a Wine process
// held in the file system keeps the pipes CTest reads).
class ShareControl
{
public:
    explicit ShareControl(const Release& rel)
    {
        const wchar_t* control = _wgetenv(L"QVS_STALL_CONTROL");
        if (control == nullptr)
        {
            throw std::runtime_error("QVS_STALL_CONTROL is not set: run the tests through scripts/test");
        }
        m_base = std::wstring(control) + L"\\" + rel.name();
    }
    ~ShareControl() { Clear(); }
    ShareControl(const ShareControl&) = delete;
    ShareControl& operator=(const ShareControl&) = delete;
    // kind "stall", "gone", "drop" or "latency", with the words of tests/README.md.
    void Set(const wchar_t* kind, const std::string& text = {})
    {
        DeleteFileW((m_base + L".hit").c_str());
        WriteBytes(m_base + L"." + kind, text);
    }
    // The reads the faults held or dropped ("drop bin/a.dll; stall ..."), or "not reached".
    std::string Hit() const
    {
        const std::wstring hit = m_base + L".hit";
        std::string text = Exists(hit) ? ReadBytes(hit) : std::string();
        while (!text.empty() && text.back() == '\n')
        {
            text.pop_back();
        }
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
        {
            text.replace(at, 1, "; ");
        }
        return text.empty() ? "not reached" : text;
    }
    void Clear()
    {
        for (const wchar_t* kind : {L".stall", L".gone", L".drop", L".latency"})
        {
            DeleteFileW((m_base + kind).c_str());
        }
    }

private:
    std::wstring m_base;
};

class FaultSequence : public Scenario
{
protected:
    FaultSequence() : Scenario(L"inst", L"QVS_STALL_FOLDER"), m_share(rel)
    {
        const wchar_t* local = _wgetenv(L"QVS_STALL_LOCAL");
        if (local == nullptr)
        {
            throw std::runtime_error("QVS_STALL_LOCAL is not set: run the tests through scripts/test");
        }
        m_backing = std::wstring(local) + L"\\" + rel.name();
        const std::wstring seconds = std::to_wstring(kDeadlineSeconds);
        inst.Configure(rel.unc(), L"ReleaseFolderTimeoutSeconds=" + seconds +
                                      L"\r\nReleaseFolderStallSeconds=" + seconds + L"\r\n");
        m_sentinel = inst.root().substr(0, inst.root().rfind(L'\\')) + L"\\sentinel";
    }

    struct Published
    {
        Digest digest;
        size_t size;
        FILETIME stamp;
    };
    // One start of the program and what became of it.
    struct Start
    {
        std::unique_ptr<Program> program;
        bool bForced = false;
        ULONGLONG launched = 0;
        bool bKilled = false;
        bool bLate = false; // still working after the bound
        bool bPressedOk = false;
    };
    // What a start without a fault of its own is expected to do, from what it finds.
    struct Prediction
    {
        bool bRuns = false;  // it runs an update
        bool bSpent = false; // the release's three runs are spent: the everyday start leaves it
        bool bSucceeds = false;
        bool bStays = false; // its dialog waits for OK: the lists unreadable, forced or the first run
        std::string ini;
        Tree tree;
        std::wstring releaseTime;
        std::wstring failedTime;
        unsigned nFailedRuns = 0;
        // A start before was cut short in its install: this one finishes or puts
        // back that install first, which the prediction does not foresee.
        bool bInterrupted = false;
    };

    void Run(unsigned nCycles);

private:
    // ---- the release ----
    void Publish();
    void WriteRelease(const std::wstring& file, const std::string& bytes, const FILETIME& stamp);
    void Damage();
    void BreakList();
    // ---- the installation ----
    void MakeReadOnly();
    void LockFile();
    void LoadProbe();
    void ReleaseLocks(bool bAll);
    Tree Installed() const;
    // ---- starts ----
    Start Launch(bool bForced);
    // Waits for its end: presses OK when its dialog waits for it, releases the share
    // after the bound.
    void Finish(Start& start, DWORD boundMs);
    void WaitForEnd(Start& start, DWORD boundMs);
    void CleanStart(bool bForced);
    void KilledStart();
    // One start with the share's fault set, which it then clears.
    void StartWithShareFault(bool bForced, const std::wstring& release);
    void StalledStart();
    void GoneStart();
    void DropStart();
    void TwoStarts();
    void AfterStarts(std::vector<Start>& starts, const std::wstring& release);
    Prediction Predict(bool bForced) const;
    void CheckPrediction(const Prediction& p, const Start& start, const Tree& tree);
    void CheckAlways(const Tree& tree, bool bRan, bool bWalked);
    // The installation is one release as published (or as before any): not a mix.
    void CheckWhole(const Tree& tree);
    // The release's files a start would copy into the installation as it is now.
    std::vector<std::wstring> Planned() const;
    // ---- bookkeeping ----
    bool Chance(unsigned percent) { return m_rng() % 100 < percent; }
    size_t Pick(size_t n) { return m_rng() % n; }
    void Note(const std::string& line);
    void Fail(const std::string& invariant, const std::wstring& file, const std::string& detail);

    ShareControl m_share;
    std::wstring m_backing;  // the release folder behind the share (never stalls)
    std::wstring m_sentinel; // a tree beside the installation's root
    std::mt19937 m_rng;
    unsigned m_seed = 0;
    std::vector<Fault> m_kinds;
    unsigned m_nCycle = 0;
    unsigned m_nStart = 0;
    std::string m_fault;
    std::vector<std::string> m_journal;
    std::map<std::string, unsigned> m_failures;

    unsigned m_nVersion = 0;
    FILETIME m_clock = T(2026, 1, 1);
    std::map<std::wstring, std::set<Digest>> m_ever; // every content published or pre-installed
    std::map<std::wstring, Digest> m_preinstalled;
    std::vector<std::map<std::wstring, Digest>> m_published; // each release as published
    std::string m_probe; // a library's image, each version of probe.dll with bytes after it
    HMODULE m_hProbe = nullptr; // probe.dll held loaded for one start
    unsigned m_nMixes = 0;
    std::map<std::wstring, Published> m_release;     // the files as the list names them
    std::set<std::wstring> m_large;
    std::map<std::wstring, std::string> m_damaged; // and their published bytes
    bool m_bListBroken = false;
    std::string m_publishedList;
    ULONGLONG m_nLastListSecond = 0;
    unsigned m_nMendIn = 0; // cycles until the administrator publishes again
    std::map<std::wstring, std::pair<UniqueFile, unsigned>> m_locked; // and starts left
    Tree m_releaseFolder;  // the release folder as the test left it
    Tree m_sentinelTree;
    std::set<std::wstring> m_temps; // temporary copies found since the last run
    std::map<std::wstring, unsigned> m_okPresses; // everyday starts that waited, per release
    size_t m_nClientStarts = 0;
    ULONGLONG m_began = GetTickCount64();
    ULONGLONG m_msStarts = 0; // from each start's launch to its end
    unsigned m_nSpent = 0;    // fault-free everyday starts that found the release's runs spent
    std::wstring m_lastUpdate; // UpdateDateTime after the last start
    Tree m_tree;               // the installation after the last start
};

void FaultSequence::Note(const std::string& line)
{
    char when[32] = {};
    snprintf(when, sizeof when, "%6.1f s ", static_cast<double>(GetTickCount64() - m_began) / 1000);
    m_journal.push_back(when + ("cycle " + std::to_string(m_nCycle) + ", start " +
                                std::to_string(m_nStart) + ": " + line));
}

void FaultSequence::Fail(const std::string& invariant, const std::wstring& file,
                         const std::string& detail)
{
    // Each invariant and file once: a file that stays wrong would fill the output.
    if (m_failures[invariant + "|" + ToUtf8(file)]++ != 0)
    {
        return;
    }
    Note("FAILED " + invariant);
    ADD_FAILURE() << "seed " << m_seed << ", cycle " << m_nCycle << ", start " << m_nStart
                  << ", fault " << m_fault << ": " << invariant
                  << (file.empty() ? "" : ": " + ToUtf8(file)) << (detail.empty() ? "" : ": " + detail);
}

// ---- the release ----

void FaultSequence::WriteRelease(const std::wstring& file, const std::string& bytes,
                                 const FILETIME& stamp)
{
    WriteBytes(m_backing + L"\\" + file, bytes, &stamp);
}

void FaultSequence::Publish()
{
    // Changed files (newer stamps), added ones, some of them large, some unchanged;
    // a damaged file is mended, by its published bytes again or by a newer version.
    static const wchar_t* const kPool[] = {L"bin\\core.dll",  L"bin\\app.dll",  L"data\\conf.dat",
                                           L"bin\\ui.dll",    L"lib\\net.dll",  L"data\\big.pak",
                                           L"bin\\extra.dll", L"lib\\sub\\deep.dat", kProbe};
    std::string changes;
    for (const wchar_t* file : kPool)
    {
        const auto damaged = m_damaged.find(file);
        if (damaged != m_damaged.end() && Chance(50))
        {
            WriteRelease(file, damaged->second, m_release[file].stamp);
            changes += " " + ToUtf8(file) + " mended";
            continue;
        }
        const bool bListed = m_release.count(file) != 0;
        if (damaged == m_damaged.end() &&
            (bListed ? !Chance(40) : m_release.size() >= 3 && !Chance(20)))
        {
            continue;
        }
        const size_t size = m_large.count(file) != 0 ? (1u << 20) + Pick(1u << 20) : 100 + Pick(6000);
        m_clock = Plus(m_clock, 60);
        const std::string version = ToUtf8(file) + " v" + std::to_string(++m_nVersion);
        // The library is a real one, which a program can hold loaded.
        const std::string bytes = file == std::wstring(kProbe) ? m_probe + version : Content(size, version);
        WriteRelease(file, bytes, m_clock);
        m_release[file] = {Hash(bytes), bytes.size(), m_clock};
        m_ever[file].insert(Hash(bytes));
        changes += " " + ToUtf8(file) + " " + std::to_string(bytes.size()) + " bytes";
    }
    m_damaged.clear();
    std::map<std::wstring, Digest>& published = m_published.emplace_back();
    for (const auto& [file, item] : m_release)
    {
        published[file] = item.digest;
    }
    ASSERT_EQ(0u, RunProgram(L"\"" + ExeFolder() + L"QVSMakeList.exe\" \"" + rel.local() + L"\""));
    // The list must be newer, to the second, than every list before it, broken ones
    // too: one made in the same second is dated a second later (as a copy onto the
    // share would date it) rather than waited for.
    const std::wstring list = m_backing + L"\\" + kList;
    FILETIME stamp = Stamp(list);
    if (Seconds(stamp) <= m_nLastListSecond)
    {
        stamp = Plus(stamp, static_cast<LONGLONG>(m_nLastListSecond + 1 - Seconds(stamp)));
        const UniqueFile file(CreateFileW(list.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &stamp));
    }
    m_bListBroken = false;
    m_nLastListSecond = Seconds(stamp);
    m_publishedList = ReadBytes(m_backing + L"\\" + kList);
    m_releaseFolder = Scan(m_backing);
    Note("published " + ToUtf8(ReleaseTime(Stamp(m_backing + L"\\" + kList))) + ":" +
         (changes.empty() ? " nothing changed" : changes));
}

void FaultSequence::Damage()
{
    // A release file changed after publishing, its stamp kept: bytes changed, or cut short.
    std::vector<std::wstring> files;
    for (const auto& [file, published] : m_release)
    {
        if (m_damaged.count(file) == 0)
        {
            files.insert(m_large.count(file) != 0 ? files.begin() : files.end(), file);
        }
    }
    if (files.empty())
    {
        return;
    }
    const std::wstring file = files[Chance(60) ? 0 : Pick(files.size())];
    const std::string published = ReadBytes(m_backing + L"\\" + file);
    std::string bytes = published;
    if (Chance(50))
    {
        for (int i = 0; i < 4; ++i)
        {
            bytes[Pick(bytes.size())] ^= 0x20;
        }
        m_fault = "damage: " + ToUtf8(file) + " with bytes changed";
    }
    else
    {
        bytes.resize(bytes.size() * (30 + Pick(65)) / 100);
        m_fault = "damage: " + ToUtf8(file) + " cut to " + std::to_string(bytes.size()) + " bytes";
    }
    WriteRelease(file, bytes, m_release[file].stamp);
    m_damaged[file] = published;
    m_releaseFolder = Scan(m_backing);
    // Mended after one to five cycles: often enough after the release's three runs.
    m_nMendIn = m_nMendIn != 0 ? m_nMendIn : 1 + static_cast<unsigned>(Pick(5));
}

void FaultSequence::BreakList()
{
    // Saved by an editor as 8-bit text: an odd number of bytes, a newer stamp.
    const std::wstring list = m_backing + L"\\" + kList;
    FILETIME stamp{};
    GetSystemTimeAsFileTime(&stamp);
    if (Seconds(stamp) <= m_nLastListSecond)
    {
        stamp = Plus(stamp, static_cast<LONGLONG>(m_nLastListSecond + 1 - Seconds(stamp)));
    }
    WriteBytes(list, m_publishedList + "x", &stamp);
    m_bListBroken = true;
    m_nLastListSecond = Seconds(stamp);
    m_releaseFolder = Scan(m_backing);
    // Mended after one to five cycles: often enough after the release's three runs.
    m_nMendIn = m_nMendIn != 0 ? m_nMendIn : 1 + static_cast<unsigned>(Pick(5));
    m_fault = "broken list " + ToUtf8(ReleaseTime(stamp));
}

// ---- the installation ----

Tree FaultSequence::Installed() const
{
    Tree tree = Scan(inst.root(), inst.Volatile());
    // A file the test holds without sharing is read through its handle.
    for (const auto& [file, lock] : m_locked)
    {
        const auto it = tree.find(file);
        if (it != tree.end() && it->second.bytes == "<unreadable>")
        {
            SetFilePointer(lock.first.get(), 0, nullptr, FILE_BEGIN);
            it->second.bytes = ReadAll(lock.first.get());
        }
    }
    return tree;
}

void FaultSequence::MakeReadOnly()
{
    m_fault = "read-only:";
    for (const auto& [file, published] : m_release)
    {
        if (Chance(40) && m_locked.count(file) == 0 && Exists(inst.Path(file)))
        {
            SetFileAttributesW(inst.Path(file).c_str(), FILE_ATTRIBUTE_READONLY);
            m_fault += " " + ToUtf8(file);
        }
    }
    m_tree = Installed();
}

void FaultSequence::LockFile()
{
    // Held open without sharing, so that its replacement fails; the release has a
    // newer version of it where it can.
    std::vector<std::wstring> files;
    for (const auto& [file, published] : m_release)
    {
        const auto it = m_tree.find(file);
        if (it != m_tree.end() && m_locked.count(file) == 0)
        {
            files.insert(Hash(it->second.bytes) != published.digest ? files.begin() : files.end(), file);
        }
    }
    if (files.empty())
    {
        m_fault = "lock: nothing installed to hold";
        return;
    }
    const std::wstring file = files[Chance(70) ? 0 : Pick(files.size())];
    UniqueFile held(CreateFileW(inst.Path(file).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    m_fault = "lock: " + ToUtf8(file) + (held ? "" : " (could not be held)");
    if (held)
    {
        m_locked[file] = {std::move(held), 1 + static_cast<unsigned>(Pick(5))};
    }
}

void FaultSequence::LoadProbe()
{
    // Loaded by another program (this one), as a client another user left open holds
    // its libraries: it cannot be replaced, only moved aside. Held for one start.
    m_hProbe = Exists(inst.Path(kProbe)) ? LoadLibraryW(inst.Path(kProbe).c_str()) : nullptr;
    m_fault = m_hProbe != nullptr ? "in use: bin\\probe.dll loaded" : "in use: no probe.dll to load";
}

void FaultSequence::ReleaseLocks(bool bAll)
{
    if (m_hProbe != nullptr)
    {
        FreeLibrary(m_hProbe);
        m_hProbe = nullptr;
    }
    for (auto it = m_locked.begin(); it != m_locked.end();)
    {
        if (bAll || --it->second.second == 0)
        {
            Note("released " + ToUtf8(it->first));
            it = m_locked.erase(it);
        }
        else
        {
            ++it;
        }
    }
}

// ---- starts ----

FaultSequence::Start FaultSequence::Launch(bool bForced)
{
    ++m_nStart;
    Start start;
    start.bForced = bForced;
    start.launched = GetTickCount64();
    start.program = std::make_unique<Program>(inst.Command(bForced ? L"/force" : L""));
    return start;
}

void FaultSequence::Finish(Start& start, DWORD boundMs)
{
    WaitForEnd(start, boundMs);
    m_msStarts += GetTickCount64() - start.launched;
}

void FaultSequence::WaitForEnd(Start& start, DWORD boundMs)
{
    const std::wstring lockName = InstallationLockName(inst.root());
    const auto lockFree = [&lockName]
    {
        const UniqueKernelHandle lock(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, lockName.c_str()));
        const DWORD dwWait = lock ? WaitForSingleObject(lock.get(), 0) : WAIT_OBJECT_0;
        if (lock && (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED))
        {
            ReleaseMutex(lock.get());
        }
        return dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
    };
    ULONGLONG waitingSince = 0;
    while (!start.program->Ended())
    {
        const ULONGLONG now = GetTickCount64();
        if (!start.bLate && waitingSince == 0 && now - start.launched > boundMs)
        {
            // Still working: a call the share holds. Released, the start can go on.
            // Where it is held goes into the output first.
            start.bLate = true;
            start.program->PrintStacks();
            m_share.Clear();
        }
        if (now - start.launched > boundMs + 30000)
        {
            Fail("a start did not end with the share answering again", L"", "");
            start.program->Kill();
            return;
        }
        // A run whose work is over (the lock free) with its dialog up waits for OK.
        if (start.program->Dialog(0) != nullptr && lockFree())
        {
            waitingSince = waitingSince != 0 ? waitingSince : now;
            if (now - waitingSince >= kWaitingMs)
            {
                start.program->PressOk();
                start.bPressedOk = true;
                if (start.program->Wait(10000) == static_cast<DWORD>(-1))
                {
                    Fail("a start did not end after OK", L"", "");
                }
                return;
            }
        }
        else
        {
            waitingSince = 0;
        }
        Sleep(20);
    }
}

void FaultSequence::CleanStart(bool bForced)
{
    m_fault = (m_fault.empty() ? std::string() : m_fault + ", then ") +
              (bForced ? "a forced start" : "an everyday start");
    const Prediction prediction = Predict(bForced);
    m_nSpent += prediction.bSpent ? 1 : 0;
    std::vector<Start> starts;
    starts.push_back(Launch(bForced));
    Finish(starts.back(), kBoundMs);
    const std::string fault = m_fault;
    AfterStarts(starts, prediction.releaseTime);
    if (!starts.back().bLate)
    {
        m_fault = fault;
        CheckPrediction(prediction, starts.back(), m_tree);
        m_fault.clear();
    }
}

void FaultSequence::KilledStart()
{
    // At a random moment, or as the n-th temporary copy is made; some on a share that lags.
    const bool bLag = Chance(35);
    const bool bAtCopy = Chance(60);
    const bool bForced = Chance(25);
    if (bLag)
    {
        m_share.Set(L"latency", "3");
    }
    const std::wstring release = ReleaseTime(Stamp(m_backing + L"\\" + kList));
    std::vector<Start> starts;
    {
        CopyWatch watch(inst.root());
        starts.push_back(Launch(bForced));
        Start& start = starts.back();
        const DWORD delayMs = static_cast<DWORD>(bAtCopy ? Pick(15) : Pick(1500));
        // The temporary copies of the staged files come first, then the names the
        // installed files are moved aside to: the moment may fall in either step.
        const size_t nCopy = 1 + Pick(std::max<size_t>(3, 2 * Planned().size() + 1));
        m_fault = std::string(bForced ? "forced start" : "everyday start") + " killed " +
                  (bAtCopy ? "at temporary copy " + std::to_string(nCopy) + " + " : "at ") +
                  std::to_string(delayMs) + " ms" + (bLag ? ", 3 ms latency" : "");
        // A run that copies nothing (its dialog may wait for OK) is killed after the bound.
        const bool bCopying =
            !bAtCopy || watch.WaitFor(*start.program, nCopy, {L"", L"bin", L"data", L"lib", L"lib\\sub"},
                                      kBoundMs);
        if (bCopying)
        {
            WaitUntil([&start] { return start.program->Ended(); }, delayMs);
        }
        m_fault += bCopying || start.program->Ended() ? "" : " (no such copy within the bound)";
        start.bKilled = start.program->Kill();
        m_msStarts += GetTickCount64() - start.launched;
        m_fault += start.bKilled ? "" : " (it ended first)";
    }
    m_share.Clear();
    AfterStarts(starts, release);
}

void FaultSequence::StartWithShareFault(bool bForced, const std::wstring& release)
{
    std::vector<Start> starts;
    starts.push_back(Launch(bForced));
    Finish(starts.back(), kBoundMs);
    m_fault += " (" + m_share.Hit() + ")";
    m_share.Clear();
    AfterStarts(starts, release);
}

void FaultSequence::StalledStart()
{
    // The whole share before the start (the check), or the reads of the list's copy,
    // of the record, or every request from the n-th read on (inside a copy).
    const bool bForced = Chance(25);
    const std::wstring release = ReleaseTime(Stamp(m_backing + L"\\" + kList));
    const size_t nWhere = Pick(4);
    const std::string nth = std::to_string(3 + Pick(40));
    const std::string words = nWhere == 0   ? ""
                              : nWhere == 1 ? std::string("read:") + kListName
                              : nWhere == 2 ? std::string("read:") + kRecordName
                                            : nth;
    m_share.Set(L"stall", words);
    m_fault = std::string(bForced ? "forced" : "everyday") + " start, share stalled " +
              (nWhere == 0 ? "from the check" : nWhere == 3 ? "from read " + nth : "at " + words);
    StartWithShareFault(bForced, release);
}

void FaultSequence::GoneStart()
{
    // The server away for the whole start (between starts), or from the n-th read on
    // (inside a copy, at the record's read).
    const bool bForced = Chance(25);
    const bool bWhole = Chance(40);
    const std::string nth = std::to_string(1 + Pick(40));
    const std::wstring release = ReleaseTime(Stamp(m_backing + L"\\" + kList));
    m_share.Set(L"gone", bWhole ? "" : nth);
    m_fault = std::string(bForced ? "forced" : "everyday") + " start, share gone " +
              (bWhole ? "throughout" : "from read " + nth);
    StartWithShareFault(bForced, release);
}

void FaultSequence::DropStart()
{
    // Single reads that fail while the share goes on answering, as when a server stops
    // answering for longer than the client waits and answers the next request (a
    // stall, as a real share's client ends it).
    const bool bForced = Chance(25);
    const std::wstring release = ReleaseTime(Stamp(m_backing + L"\\" + kList));
    // The files the start copies, each with a read inside its copy.
    std::vector<std::string> planned;
    for (const std::wstring& file : Planned())
    {
        // A small file is read at once; a large one 64 KB a read.
        planned.push_back(ToUtf8(file.substr(file.rfind(L'\\') + 1)) + "@" +
                          std::to_string(m_large.count(file) != 0 ? 2 + Pick(14) : 1));
    }
    // The list's read, the record's, a read inside a copy, or the record's and one
    // inside a copy (the record unread, nothing checks the copy). A copy that takes a
    // failed read for the end of the file (as Wine's CopyFileW does) installs a torn
    // file with the release's stamp there, which no later everyday start replaces:
    // QVS_SEED=7 QVS_FAULTS=drop shows it at cycle 9 on such a program; a dropped
    // read of the list's copy leaves a list of nothing with the release's stamp.
    const std::string list = std::string(kListName) + "@1";
    const std::string record = std::string(kRecordName) + "@1";
    const std::string inCopy = planned.empty() ? record : planned[Pick(planned.size())];
    const std::string choices[] = {list, record, inCopy, record + " " + inCopy};
    const std::string words = choices[Pick(planned.empty() ? 2 : 4)];
    m_share.Set(L"drop", words);
    m_fault = std::string(bForced ? "forced" : "everyday") + " start, share dropping the reads " + words;
    StartWithShareFault(bForced, release);
}

void FaultSequence::TwoStarts()
{
    const bool bForced = Chance(30);
    const std::wstring release = ReleaseTime(Stamp(m_backing + L"\\" + kList));
    m_fault = std::string("two starts at once") + (bForced ? ", the first forced" : "");
    std::vector<Start> starts;
    starts.push_back(Launch(bForced));
    Sleep(static_cast<DWORD>(Pick(300)));
    starts.push_back(Launch(false));
    for (Start& start : starts)
    {
        Finish(start, 2 * kBoundMs);
    }
    AfterStarts(starts, release);
}

void FaultSequence::AfterStarts(std::vector<Start>& starts, const std::wstring& release)
{
    // Each start ended by itself within the bound, or after the one OK the rules
    // allow an everyday start per release; otherwise it started the client.
    size_t nClient = 0;
    size_t nKilled = 0;
    std::string outcome;
    for (const Start& start : starts)
    {
        nKilled += start.bKilled ? 1 : 0;
        nClient += start.bKilled || start.bPressedOk ? 0 : 1;
        outcome += start.bKilled ? " killed" : start.bPressedOk ? " waited for OK" : " ended";
        outcome += start.bLate ? " late" : "";
        if (start.bLate && !start.bKilled)
        {
            Fail("a start did not end by itself within " + std::to_string(kBoundMs / 1000) + " s",
                 L"", "it went on once the share was released");
        }
        if (start.bPressedOk && !start.bForced && ++m_okPresses[release] > 1)
        {
            Fail("an everyday start waited for OK a second time for one release", release, "");
        }
    }
    const size_t nBefore = m_nClientStarts;
    WaitUntil([&] { return inst.ClientStarts().size() >= nBefore + nClient; }, nClient != 0 ? 5000 : 300);
    const size_t nNow = inst.ClientStarts().size();
    m_nClientStarts = nNow;
    if (nNow < nBefore + nClient || nNow > nBefore + nClient + nKilled)
    {
        Fail("a start did not start the client once", L"",
             std::to_string(nNow - nBefore) + " client starts for" + outcome);
    }
    const std::wstring when = inst.Ini(L"UpdateDateTime");
    // A run that went to its end (a killed one records its start too).
    const bool bRan = when != m_lastUpdate && nKilled == 0;
    m_lastUpdate = when;
    // A run that walked the installation (one the share stopped before then did not).
    const bool bWalked = bRan && inst.Log().find("Reading directory...") != std::string::npos;
    // The installation's copy of the list, when it is not the release's (a cut copy).
    const std::wstring local = inst.Path(kList);
    const std::string localList = Exists(local) ? ReadBytes(local) : std::string();
    const std::string shareList = ReadBytes(m_backing + L"\\" + kList);
    const bool bOwnList = !Exists(local) || localList == shareList ||
                          Seconds(Stamp(local)) != Seconds(Stamp(m_backing + L"\\" + kList));
    Note(m_fault + ":" + outcome + ", UpdateSucceeded=" + ToUtf8(inst.Ini(L"UpdateSucceeded")) +
         " " + ToUtf8(inst.Ini(L"UpdateFailureReason")) + ", FailedRunsOfRelease=" +
         ToUtf8(inst.Ini(L"FailedRunsOfRelease")) +
         (bOwnList ? "" : ", the installation's copy of the list " + std::to_string(localList.size()) +
                              " bytes with the release's stamp, the release's " +
                              std::to_string(shareList.size())));
    m_tree = Installed();
    CheckAlways(m_tree, bRan, bWalked);
    if (nKilled == 0)
    {
        CheckWhole(m_tree);
    }
    m_fault.clear();
}

std::vector<std::wstring> FaultSequence::Planned() const
{
    std::vector<std::wstring> planned;
    for (const auto& [file, published] : m_release)
    {
        const auto installed = m_tree.find(file);
        if (installed == m_tree.end() || Seconds(installed->second.stamp) < Seconds(published.stamp))
        {
            planned.push_back(file);
        }
    }
    return planned;
}

void FaultSequence::CheckWhole(const Tree& tree)
{
    // Every file any release named, and what the installation held before them.
    std::set<std::wstring> files;
    for (const auto& [file, digest] : m_preinstalled)
    {
        files.insert(file);
    }
    for (const auto& release : m_published)
    {
        for (const auto& [file, digest] : release)
        {
            files.insert(file);
        }
    }
    // Each installed file hashed once: the releases are many in a long sequence.
    std::map<std::wstring, Digest> installedDigests;
    for (const std::wstring& file : files)
    {
        const auto installed = tree.find(file);
        if (installed != tree.end())
        {
            installedDigests[file] = Hash(installed->second.bytes);
        }
    }
    // As installing release n leaves it: its files as published, the rest as before
    // any release (releases only add files); n = -1, before any release. Newest first:
    // the installation is most often the last release.
    std::string closest;
    size_t nClosest = ~size_t{0};
    for (ptrdiff_t n = static_cast<ptrdiff_t>(m_published.size()) - 1; n >= -1; --n)
    {
        std::string differences;
        size_t nDiffering = 0;
        for (const std::wstring& file : files)
        {
            const std::map<std::wstring, Digest>* pWhole =
                n >= 0 && m_published[static_cast<size_t>(n)].count(file) != 0
                    ? &m_published[static_cast<size_t>(n)]
                    : &m_preinstalled;
            const auto expected = pWhole->find(file);
            const auto installed = installedDigests.find(file);
            const bool bSame = expected == pWhole->end()
                                   ? installed == installedDigests.end()
                                   : installed != installedDigests.end() &&
                                         installed->second == expected->second;
            if (!bSame)
            {
                ++nDiffering;
                differences += " " + ToUtf8(file);
            }
        }
        if (nDiffering == 0)
        {
            return;
        }
        if (nDiffering < nClosest)
        {
            nClosest = nDiffering;
            closest = (n < 0 ? std::string("before any release") : "release " + std::to_string(n + 1)) +
                      " but" + differences;
        }
    }
    ++m_nMixes;
    Fail("a start that ended by itself left a mix of releases", L"", "closest: " + closest);
}

void FaultSequence::CheckAlways(const Tree& tree, bool bRan, bool bWalked)
{
    // Every installed file is one of the contents ever published for it (or what
    // the installation held before any release).
    std::set<std::wstring> temps;
    for (const auto& [file, state] : tree)
    {
        if (file.find(kTemporary) != std::wstring::npos)
        {
            temps.insert(file);
            continue;
        }
        if (file == kJournal)
        {
            // A start cut short in its install leaves it; the next one ends it.
            if (bRan)
            {
                Fail("a run that went to its end left the install's journal", file, "");
            }
            continue;
        }
        const auto it = m_ever.find(file);
        if (it == m_ever.end() || it->second.count(Hash(state.bytes)) == 0)
        {
            const auto published = m_release.find(file);
            Fail("an installed file is none of the contents ever published for it", file,
                 std::to_string(state.bytes.size()) + " bytes" +
                     (published != m_release.end()
                          ? ", the release's " + std::to_string(published->second.size) +
                                (CompareFileTime(&state.stamp, &published->second.stamp) == 0
                                     ? ", with the release's stamp"
                                     : ", with another stamp")
                          : ""));
        }
    }
    // Nothing outside the installation changed: the tree beside it, the release folder.
    const std::string sentinel = Differences(m_sentinelTree, Scan(m_sentinel));
    if (!sentinel.empty())
    {
        Fail("the tree beside the installation changed", L"", sentinel);
    }
    const std::string release = Differences(m_releaseFolder, Scan(m_backing));
    if (!release.empty())
    {
        Fail("the release folder changed", L"", release);
    }
    // No temporary copy outlives the next run that walks the installation (the
    // walk removes them).
    for (const std::wstring& temp : m_temps)
    {
        if (bWalked && temps.count(temp) != 0)
        {
            Fail("a temporary copy outlived the next run that walked the installation", temp, "");
        }
    }
    if (bWalked)
    {
        m_temps = temps;
    }
    else
    {
        m_temps.insert(temps.begin(), temps.end());
    }
}

FaultSequence::Prediction FaultSequence::Predict(bool bForced) const
{
    Prediction p;
    p.ini = ReadBytes(inst.bin() + L"\\QVS.ini");
    p.tree = m_tree;
    const FILETIME list = Stamp(m_backing + L"\\" + kList);
    const std::wstring local = inst.Path(kList);
    const bool bNew = !Exists(local) || Seconds(list) > Seconds(Stamp(local));
    const bool bDue = bNew || inst.Ini(L"UpdateSucceeded") == L"0";
    p.releaseTime = ReleaseTime(list);
    p.failedTime = inst.Ini(L"FailedReleaseListTime");
    const std::wstring runs = inst.Ini(L"FailedRunsOfRelease");
    p.nFailedRuns = runs.find_first_not_of(L"0123456789") == std::wstring::npos && !runs.empty()
                        ? static_cast<unsigned>(std::stoul(runs))
                        : 0;
    p.bSpent = !bForced && bDue && p.failedTime == p.releaseTime && p.nFailedRuns >= 3;
    p.bRuns = bForced || (bDue && !p.bSpent);
    // The run succeeds unless the list is broken or a file it must copy is not sound.
    // A held file is copied whatever its stamp: the walk cannot open it, and the
    // installation's list lacks it.
    p.bSucceeds = !m_bListBroken;
    for (const auto& [file, published] : m_release)
    {
        const auto it = p.tree.find(file);
        const bool bPlanned = it == p.tree.end() || m_locked.count(file) != 0 ||
                              Seconds(it->second.stamp) < Seconds(published.stamp);
        if (bPlanned && (m_damaged.count(file) != 0 || m_locked.count(file) != 0))
        {
            p.bSucceeds = false;
        }
    }
    // A list it cannot read stops it before the copy: the dialog says why and waits
    // for OK when the run is forced or the release's first.
    const bool bFirstRun = p.failedTime != p.releaseTime || p.nFailedRuns == 0;
    p.bStays = p.bRuns && m_bListBroken && (bForced || bFirstRun);
    p.bInterrupted = Exists(inst.Path(kJournal));
    return p;
}

void FaultSequence::CheckPrediction(const Prediction& p, const Start& start, const Tree& tree)
{
    if (start.bKilled)
    {
        return;
    }
    if (start.bPressedOk != p.bStays)
    {
        Fail(p.bStays ? "a run that could not read its list did not wait for OK"
                      : "a start waited for OK where the rules do not call for it",
             L"", "");
    }
    if (!p.bRuns && ReadBytes(inst.bin() + L"\\QVS.ini") != p.ini)
    {
        Fail("a start with no run due changed QVS.ini", L"", "");
    }
    if (p.bInterrupted)
    {
        // It finished or put back the install of a start before, even with no run
        // due (the release's runs spent): CheckWhole holds it to one release.
        return;
    }
    if (!p.bRuns)
    {
        const std::string changed = Differences(WithoutTemporaries(p.tree), WithoutTemporaries(tree));
        if (!changed.empty())
        {
            Fail("a start with no run due changed the installation", L"", changed);
        }
        if (p.bSpent)
        {
            return; // a forced run or a newer release brings it: checked when one comes
        }
    }
    if (p.bRuns && !p.bSucceeds)
    {
        // A run that fails installs nothing: not a file of the release.
        const std::string changed = Differences(WithoutTemporaries(p.tree), WithoutTemporaries(tree));
        if (!changed.empty())
        {
            Fail("a run that failed changed the installation", L"", changed);
        }
    }
    else if (p.bRuns)
    {
        // Every file of the release installed with the release's bytes and stamp.
        for (const auto& [file, published] : m_release)
        {
            const auto it = tree.find(file);
            if (it == tree.end() || Hash(it->second.bytes) != published.digest ||
                CompareFileTime(&it->second.stamp, &published.stamp) != 0)
            {
                Fail("a start without a fault of its own left a file of the release out", file,
                     it == tree.end() ? "missing"
                                      : std::to_string(it->second.bytes.size()) + " bytes installed, " +
                                            std::to_string(published.size) + " published");
            }
        }
    }
    if (p.bRuns)
    {
        const std::wstring expected = p.bSucceeds ? L"1" : L"0";
        const std::wstring runs = p.bSucceeds ? L"0"
                                  : p.failedTime == p.releaseTime ? std::to_wstring(p.nFailedRuns + 1)
                                                                  : L"1";
        const std::wstring actual = inst.Ini(L"UpdateSucceeded") + L" " +
                                    inst.Ini(L"FailedReleaseListTime") + L" " +
                                    inst.Ini(L"FailedRunsOfRelease");
        if (actual != expected + L" " + p.releaseTime + L" " + runs)
        {
            Fail("the run's outcome is not the one its release and installation call for", L"",
                 "UpdateSucceeded, FailedReleaseListTime, FailedRunsOfRelease " + ToUtf8(actual) +
                     ", expected " + ToUtf8(expected + L" " + p.releaseTime + L" " + runs));
        }
    }
}

void FaultSequence::Run(unsigned nCycles)
{
    m_seed = static_cast<unsigned>(GetTickCount64() ^ (GetCurrentProcessId() << 16));
    if (const wchar_t* fixed = _wgetenv(L"QVS_SEED"))
    {
        m_seed = static_cast<unsigned>(wcstoul(fixed, nullptr, 10));
    }
    m_rng.seed(m_seed);
    const wchar_t* faults = _wgetenv(L"QVS_FAULTS");
    const std::string chosen = faults != nullptr ? "," + ToUtf8(faults) + "," : "";
    for (const auto& [name, kind] : kKinds)
    {
        if (faults == nullptr || chosen.find("," + std::string(name) + ",") != std::string::npos)
        {
            m_kinds.push_back(kind);
        }
    }
    ASSERT_TRUE(faults == nullptr || !m_kinds.empty())
        << "QVS_FAULTS names none of kill,stall,gone,drop,damage,readonly,lock,inuse,list,two,force";
    std::printf("[ seed     ] %u (QVS_SEED=%u repeats this run; QVS_FAULTS=%s)\n", m_seed, m_seed,
                faults != nullptr ? ToUtf8(faults).c_str() : "all");
    std::fflush(stdout);

    // What the installation holds before any release, and a tree beside it.
    inst.Put(L"bin\\core.dll", Content(1500000, "core as installed"), T(2025, 6, 1));
    inst.Put(L"bin\\app.dll", "app as installed", T(2025, 6, 1));
    inst.Put(L"data\\conf.dat", "conf as installed", T(2025, 6, 1));
    inst.Put(L"data\\user.cfg", "the user's own", T(2025, 6, 1));
    for (const auto& [file, state] : Installed())
    {
        m_ever[file].insert(Hash(state.bytes));
        m_preinstalled[file] = Hash(state.bytes);
    }
    m_probe = ReadBytes(ExeFolder() + L"ProbeLibrary.dll");
    // Three large files (a kill or a stall lands inside their copies), the others small.
    m_large = {L"bin\\core.dll", L"data\\big.pak", L"bin\\ui.dll"};
    WriteBytes(m_sentinel + L"\\bin\\core.dll", "beside the installation");
    WriteBytes(m_sentinel + L"\\HotUpdateFileList_Server.txt", "beside the installation");
    m_sentinelTree = Scan(m_sentinel);
    m_nClientStarts = inst.ClientStarts().size();
    m_tree = Installed();

    for (m_nCycle = 0; m_nCycle < nCycles && !HasFatalFailure(); ++m_nCycle)
    {
        // A damaged release or a broken list is published again when the administrator
        // notices, and not before.
        if (m_nCycle == 0 || (m_nMendIn != 0 ? --m_nMendIn == 0 : Chance(30)))
        {
            Publish();
        }
        const Fault fault = m_nCycle == 0 || Chance(35) ? Fault::None : m_kinds[Pick(m_kinds.size())];
        switch (fault)
        {
        case Fault::None:
            CleanStart(false);
            break;
        case Fault::Force:
            CleanStart(true);
            break;
        case Fault::Damage:
            Damage();
            CleanStart(Chance(20));
            break;
        case Fault::ReadOnly:
            MakeReadOnly();
            CleanStart(Chance(20));
            break;
        case Fault::Lock:
            LockFile();
            CleanStart(Chance(20));
            break;
        case Fault::InUse:
            LoadProbe();
            CleanStart(Chance(20));
            break;
        case Fault::List:
            BreakList();
            CleanStart(Chance(20));
            break;
        case Fault::Kill:
            KilledStart();
            break;
        case Fault::Stall:
            StalledStart();
            break;
        case Fault::Gone:
            GoneStart();
            break;
        case Fault::Drop:
            DropStart();
            break;
        case Fault::Two:
            TwoStarts();
            break;
        }
        ReleaseLocks(false);
    }
    ReleaseLocks(true);
    std::printf("[ figures  ] %u cycles, %u starts in %.1f s, %.1f s of them from launch to end; "
                "%u fault-free starts found the release's runs spent; %u mixes of releases\n",
                nCycles, m_nStart, static_cast<double>(GetTickCount64() - m_began) / 1000,
                static_cast<double>(m_msStarts) / 1000, m_nSpent, m_nMixes);
    if (HasFailure())
    {
        std::string journal;
        for (const std::string& line : m_journal)
        {
            journal += line + "\n";
        }
        ADD_FAILURE() << "QVS_SEED=" << m_seed << " repeats this sequence:\n" << journal;
    }
}
} // namespace

TEST_F(FaultSequence, EveryStartKeepsTheInstallationWholeAndFaultFreeStartsReachTheRelease)
{
    Run(LongRun() ? 500 : 50);
}
