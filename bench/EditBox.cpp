// edit: the program's own dialog fed with entry lines in batches, as the walk feeds
// it (what the dialog's text box costs under Wine; bench/README.md, rows 4 and 5).

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <cstdio>

namespace qvsbench
{
namespace
{
INT_PTR CALLBACK QuietDialogProc(HWND, UINT uMsg, WPARAM, LPARAM)
{
    return uMsg == WM_INITDIALOG ? TRUE : FALSE;
}
} // namespace

// The program's own dialog (its template, and common controls 6 as its manifest
// asks) fed with nLines entry lines in batches of nBatch, as the walk feeds it:
// each batch appended at the end, then the top brought into view and painted.
int EditCommand(unsigned nLines, unsigned nBatch, bool bPrepend, bool bNoRedraw)
{
    const std::wstring exe = ExeFolder() + L"QVSCliUpdate.exe";
    ACTCTXW ctx{};
    ctx.cbSize = sizeof ctx;
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.lpSource = exe.c_str();
    ctx.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE hContext = CreateActCtxW(&ctx);
    ULONG_PTR cookie = 0;
    if (hContext != INVALID_HANDLE_VALUE)
    {
        ActivateActCtx(hContext, &cookie);
    }
    const UniqueModule resources(LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const HWND hDlg =
        CreateDialogParamW(resources.get(), MAKEINTRESOURCEW(102), nullptr, &QuietDialogProc, 0);
    if (hDlg == nullptr)
    {
        Fail(L"cannot create the dialog");
    }
    ShowWindow(hDlg, SW_SHOWNORMAL);
    Pump();
    const HWND hEdit = GetDlgItem(hDlg, 1000);
    SendMessageW(hEdit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);

    std::vector<double> batchMs;
    std::wstring batch;
    double total = 0;
    for (unsigned i = 0; i < nLines; ++i)
    {
        batch += L"Z:\\work\\wt-bench\\build\\release\\bench-data\\run-20000\\inst\\" +
                 TreeFolder(i / kFilesPerFolder) + L"\\\t\t" + TreeFileName(i) +
                 L"\t\t02/11/26 08:00:00\r\n";
        if ((i + 1) % nBatch != 0 && i + 1 != nLines)
        {
            continue;
        }
        const LONGLONG t0 = Now();
        if (bNoRedraw)
        {
            SendMessageW(hEdit, WM_SETREDRAW, FALSE, 0);
        }
        const int nEnd = bPrepend ? 0 : GetWindowTextLengthW(hEdit);
        SendMessageW(hEdit, EM_SETSEL, static_cast<WPARAM>(nEnd), nEnd);
        SendMessageW(hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(batch.c_str()));
        SendMessageW(hEdit, EM_SETSEL, 0, 0);
        SendMessageW(hEdit, EM_SCROLLCARET, 0, 0);
        if (bNoRedraw)
        {
            SendMessageW(hEdit, WM_SETREDRAW, TRUE, 0);
            InvalidateRect(hEdit, nullptr, TRUE);
        }
        Pump();
        const double ms = Ms(Now() - t0);
        batchMs.push_back(ms);
        total += ms;
        batch.clear();
    }
    DestroyWindow(hDlg);
    if (cookie != 0)
    {
        DeactivateActCtx(0, cookie);
    }
    if (hContext != INVALID_HANDLE_VALUE)
    {
        ReleaseActCtx(hContext);
    }
    std::wprintf(L"RESULT\tedit\tlines=%u\tbatch=%u\t%ls\ttotal=%.1f\tfirst=%.1f\tlast=%.1f"
                 L"\tper_line=%.3f\n",
                 nLines, nBatch, bPrepend ? L"prepend" : L"append", total, batchMs.front(),
                 batchMs.back(), total / nLines);
    return 0;
}
} // namespace qvsbench
