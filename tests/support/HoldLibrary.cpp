// Holds a library loaded, as a client left open in another session does: loads the
// library the command line names, prints "loaded" (or "failed <error>") and waits
// until it is ended.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::printf("usage: HoldLibrary <library>\n");
        return 2;
    }
    const HMODULE hLibrary = LoadLibraryW(argv[1]);
    if (hLibrary == nullptr)
    {
        std::printf("failed %lu\n", GetLastError());
        return 1;
    }
    std::printf("loaded\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
