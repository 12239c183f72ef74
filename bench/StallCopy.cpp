// stall-copy (bench/run-stall-copy): a forced run whose release share stops
// answering in the middle of the copy: whether the dialog and the status popup take
// messages and paint meanwhile, when the run goes on after the share answers again,
// and what it left.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"
#include "lib/CopyLeftover.h"
#include "lib/FileIterator.h"

#include <algorithm>
#include <cstdio>

namespace qvsbench
{
namespace
{
unsigned CountCopyingLines(const std::wstring& log)
{
    const std::string text = ReadFileFrom(log);
    unsigned n = 0;
    for (size_t at = text.find("Copying..."); at != std::string::npos;
         at = text.find("Copying...", at + 1))
    {
        ++n;
    }
    return n;
}

struct ProcessWindows
{
    DWORD dwProcessId = 0;
    DWORD dwMainThreadId = 0;
    HWND hDialog = nullptr; // the update dialog, on the main thread
    HWND hPopup = nullptr;  // the status popup, on a thread of its own
};

BOOL CALLBACK FindProcessWindow(HWND hWnd, LPARAM lParam)
{
    auto* pWindows = reinterpret_cast<ProcessWindows*>(lParam);
    DWORD dwProcessId = 0;
    const DWORD dwThreadId = GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId == pWindows->dwProcessId && IsWindowVisible(hWnd))
    {
        (dwThreadId == pWindows->dwMainThreadId ? pWindows->hDialog : pWindows->hPopup) = hWnd;
    }
    return TRUE;
}

// Whether the window's thread takes a message within 1 s; the time it took, or -1.
double AnswerTime(HWND hWnd)
{
    if (hWnd == nullptr || !IsWindow(hWnd))
    {
        return -2;
    }
    DWORD_PTR result = 0;
    const LONGLONG t0 = Now();
    if (SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) == 0)
    {
        return -1;
    }
    return Ms(Now() - t0);
}

LRESULT CALLBACK CoverProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

void PumpFor(DWORD dwMs)
{
    const ULONGLONG end = GetTickCount64() + dwMs;
    while (GetTickCount64() < end)
    {
        Pump();
        Sleep(10);
    }
}

// A pure red window over rect for a moment: what lies below must paint itself again.
void CoverFor(const RECT& rect, DWORD dwMs)
{
    static const wchar_t kClass[] = L"QVSBenchCover";
    static bool s_bRegistered = false;
    if (!s_bRegistered)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &CoverProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = CreateSolidBrush(RGB(255, 0, 0));
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
        s_bRegistered = true;
    }
    const HWND hCover =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kClass, L"", WS_POPUP,
                        rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                        nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ShowWindow(hCover, SW_SHOWNOACTIVATE);
    UpdateWindow(hCover);
    PumpFor(dwMs);
    DestroyWindow(hCover);
    PumpFor(50);
}

// The screen as 32-bit pixels (top row first); saved as a BMP when path is given.
struct Screen
{
    int cx = 0;
    int cy = 0;
    std::vector<DWORD> pixels;

    // The share of pure red pixels in rect, in per cent.
    double RedShare(const RECT& rect) const
    {
        unsigned nRed = 0;
        unsigned nAll = 0;
        for (int y = std::max(0L, rect.top); y < std::min<LONG>(cy, rect.bottom); ++y)
        {
            for (int x = std::max(0L, rect.left); x < std::min<LONG>(cx, rect.right); ++x)
            {
                ++nAll;
                const DWORD pixel = pixels[static_cast<size_t>(y) * static_cast<size_t>(cx) +
                                           static_cast<size_t>(x)];
                if ((pixel & 0xFFFFFF) == 0xFF0000)
                {
                    ++nRed;
                }
            }
        }
        return nAll == 0 ? 0 : 100.0 * nRed / nAll;
    }
};

Screen TakeScreen(const std::wstring& path)
{
    Screen screen;
    screen.cx = GetSystemMetrics(SM_CXSCREEN);
    screen.cy = GetSystemMetrics(SM_CYSCREEN);
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = screen.cx;
    bmi.bmiHeader.biHeight = -screen.cy;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    const HDC hScreen = GetDC(nullptr);
    const HDC hMem = CreateCompatibleDC(hScreen);
    void* pBits = nullptr;
    const HBITMAP hBitmap = CreateDIBSection(hScreen, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    const HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    BitBlt(hMem, 0, 0, screen.cx, screen.cy, hScreen, 0, 0, SRCCOPY);
    GdiFlush();
    const size_t nPixels = static_cast<size_t>(screen.cx) * static_cast<size_t>(screen.cy);
    screen.pixels.assign(static_cast<const DWORD*>(pBits),
                         static_cast<const DWORD*>(pBits) + nPixels);
    SelectObject(hMem, hOld);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    if (!path.empty())
    {
        BITMAPFILEHEADER bfh{};
        bfh.bfType = 0x4D42;
        bfh.bfOffBits = sizeof bfh + sizeof bmi.bmiHeader;
        bfh.bfSize = static_cast<DWORD>(bfh.bfOffBits + nPixels * 4);
        std::string bytes(reinterpret_cast<const char*>(&bfh), sizeof bfh);
        bytes.append(reinterpret_cast<const char*>(&bmi.bmiHeader), sizeof bmi.bmiHeader);
        bytes.append(reinterpret_cast<const char*>(screen.pixels.data()), nPixels * 4);
        WriteText(path, bytes);
    }
    return screen;
}

// Files of the installation left by a copy that was cut short.
unsigned CountLeftovers(const std::wstring& folder)
{
    unsigned n = 0;
    ForEachEntry(folder,
                 [&folder, &n](const WIN32_FIND_DATAW& fd)
                 {
                     if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                     {
                         n += CountLeftovers(folder + L"\\" + fd.cFileName);
                     }
                     else if (SCIsLeftoverName(fd.cFileName))
                     {
                         ++n;
                     }
                     return true;
                 });
    return n;
}
} // namespace

// A forced run over a run's installation from the release at <fuse release> (reached as
// \\COMPUTER\...) whose share stops answering once the log has nAfter "Copying..." lines,
// for dwStallMs; then it answers again. Prints what the user had meanwhile: whether
// the dialog and the status popup took messages (WM_NULL, 1 s timeout, polled), whether
// they painted themselves again after a window covered them, and screenshots in <shots>.
int StallCopyCommand(const std::wstring& folder, unsigned nFiles, const std::wstring& fuseRelease,
                     const std::wstring& control, unsigned nAfter, DWORD dwStallMs,
                     unsigned nLatencyMs, const std::wstring& shots)
{
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring log = bin + L"\\QVSCliUpdate.log";
    const std::wstring exe = bin + L"\\QVSCliUpdate.exe";
    const StallControl stall(control, LastComponent(fuseRelease));
    stall.SetLatency(nLatencyMs);
    ResetRun(folder, nFiles, UncOf(fuseRelease));
    const size_t nPlanned = RunPlan(nFiles).size();
    if (!shots.empty())
    {
        MakeDirs(shots);
    }
    const auto at = [](LONGLONG t, LONGLONG tFrom)
    { return std::to_wstring(static_cast<long long>(Ms(t - tFrom))) + L" ms"; };

    const StartRecord record(bin + L"\\QVS.started");
    const size_t nOld = record.Size();
    const LONGLONG t0 = Now();
    const Child child = Start(Quoted(exe) + L" /force", bin);
    const std::wstring pid = FindUnixProcess(exe);
    unsigned nCopied = 0;
    while ((nCopied = CountCopyingLines(log)) < nAfter)
    {
        if (WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0)
        {
            Fail(L"the run ended before it copied " + std::to_wstring(nAfter) + L" files");
        }
        Sleep(1);
    }
    stall.Stall();
    const LONGLONG tStall = Now();
    Progress(L"stall-copy: the share stopped answering " + at(tStall, t0) +
             L" after the start, at " + std::to_wstring(nCopied) + L" of " +
             std::to_wstring(nPlanned) + L" copies");

    ProcessWindows windows;
    windows.dwProcessId = GetProcessId(child.process.get());
    windows.dwMainThreadId = GetThreadId(child.thread.get());
    EnumWindows(&FindProcessWindow, reinterpret_cast<LPARAM>(&windows));
    RECT rcDialog{};
    RECT rcPopup{};
    GetWindowRect(windows.hDialog, &rcDialog);
    GetWindowRect(windows.hPopup, &rcPopup);

    // Polled until the stall is over and then until the client starts.
    struct Series
    {
        const wchar_t* name;
        HWND hWnd;
        unsigned nAnswered = 0;
        unsigned nSilent = 0;
        double maxMs = 0;
        double firstSilent = -1; // ms after the stall
        double lastSilent = -1;
    };
    Series series[] = {{L"dialog", windows.hDialog}, {L"status popup", windows.hPopup}};
    bool bCovered = false;
    bool bShotStalled = false;
    bool bLifted = false;
    LONGLONG tLift = 0;
    LONGLONG tResumed = 0;
    unsigned nAtLift = 0;
    std::wstring threadsWhileStalled;
    double redDialog = -1;
    double redPopup = -1;
    double tClient = 0;
    for (;;)
    {
        const double msStall = Ms(Now() - tStall);
        if (!bShotStalled && msStall > 1500)
        {
            bShotStalled = true;
            threadsWhileStalled = UnixThreadStates(pid);
            TakeScreen(shots.empty() ? std::wstring() : shots + L"\\1-stalled.bmp");
        }
        if (!bCovered && msStall > 3000)
        {
            bCovered = true;
            RECT rcBoth{};
            UnionRect(&rcBoth, &rcDialog, &rcPopup);
            CoverFor(rcBoth, 300);
            PumpFor(1000);
            const Screen screen =
                TakeScreen(shots.empty() ? std::wstring() : shots + L"\\2-after-cover.bmp");
            redDialog = screen.RedShare(rcDialog);
            redPopup = screen.RedShare(rcPopup);
        }
        if (!bLifted && msStall >= dwStallMs)
        {
            bLifted = true;
            nAtLift = CountCopyingLines(log);
            stall.Lift();
            tLift = Now();
            // The next copy, watched closely.
            while (tResumed == 0 && Ms(Now() - tLift) < 10000)
            {
                if (CountCopyingLines(log) > nAtLift)
                {
                    tResumed = Now();
                }
                Sleep(1);
            }
        }
        if (bLifted && record.Size() > nOld)
        {
            tClient = Ms(record.WaitForStart(nOld) - t0);
            break;
        }
        for (Series& s : series)
        {
            // A poll counts at the moment it was sent.
            const double msSent = Ms(Now() - tStall);
            const double ms = AnswerTime(s.hWnd);
            if (ms == -2)
            {
                continue;
            }
            if (ms < 0)
            {
                ++s.nSilent;
                if (s.firstSilent < 0)
                {
                    s.firstSilent = msSent;
                }
                s.lastSilent = msSent;
            }
            else
            {
                ++s.nAnswered;
                s.maxMs = std::max(s.maxMs, ms);
            }
        }
        Sleep(250);
        if (Ms(Now() - tStall) > dwStallMs + 120000.0)
        {
            Fail(L"the client was not started within 2 minutes of the stall's end");
        }
    }
    WaitForExit(child);
    const double msEnded = Ms(Now() - t0);

    // What the run left: every planned file the release's, whole; no leftovers.
    const unsigned nNotUpdated = CountNotUpdated(folder, nFiles);
    unsigned nDiffer = 0;
    for (const PlannedFile& file : RunPlan(nFiles))
    {
        const std::wstring relative = L"\\" + file.relativeFolder + L"\\" + file.name;
        if (ReadFileFrom(folder + L"\\inst" + relative) != ReadFileFrom(fuseRelease + relative))
        {
            ++nDiffer;
        }
    }
    const unsigned nLeftovers = CountLeftovers(folder + L"\\inst");
    const std::string ini = ReadFileFrom(bin + L"\\QVS.ini");
    const size_t nAt = ini.find("UpdateSucceeded=");
    const std::string succeeded = nAt == std::string::npos ? "?" : ini.substr(nAt + 16, 1);
    stall.SetLatency(0);

    std::wprintf(L"stall-copy: %zu files planned, share stopped at %u copies (%ls after the start)"
                 L" for %lu ms, latency %u ms\n",
                 nPlanned, nCopied, at(tStall, t0).c_str(), dwStallMs, nLatencyMs);
    for (const Series& s : series)
    {
        std::wprintf(L"  %ls: %u polls answered (slowest %.0f ms), %u without an answer in 1 s",
                     s.name, s.nAnswered, s.maxMs, s.nSilent);
        if (s.nSilent != 0)
        {
            std::wprintf(L" (from %.0f ms to %.0f ms after the stall)", s.firstSilent,
                         s.lastSilent);
        }
        std::wprintf(L"\n");
    }
    std::wprintf(
        L"  covered by a red window 3 s into the stall, 1 s after uncovering: dialog %.0f %% red,"
        L" status popup %.0f %% red\n",
        redDialog, redPopup);
    std::wprintf(L"  the program's threads (Unix) 1.5 s into the stall: %ls\n",
                 threadsWhileStalled.empty() ? L"-" : threadsWhileStalled.c_str());
    std::wprintf(
        L"  copies logged when the stall was lifted: %u; next copy logged %ls after the lift;"
        L" client started %.0f ms after the lift; program ended %.0f ms after the lift\n",
        nAtLift, tResumed == 0 ? L"(none)" : at(tResumed, tLift).c_str(), tClient - Ms(tLift - t0),
        msEnded - Ms(tLift - t0));
    std::wprintf(
        L"  afterwards: %u planned files not updated, %u differing from the release, %u copy"
        L" leftovers, UpdateSucceeded=%hs\n",
        nNotUpdated, nDiffer, nLeftovers, succeeded.c_str());
    ResetRun(folder, nFiles);
    return nNotUpdated == 0 && nDiffer == 0 && nLeftovers == 0 ? 0 : 1;
}
} // namespace qvsbench
