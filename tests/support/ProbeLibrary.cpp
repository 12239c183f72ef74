// A library for tests to load while an update replaces it, as a client's library
// stays loaded by a client another user left open. Its versions differ only in
// bytes appended after its image, which the loader never reads.
#include <windows.h>

extern "C" __declspec(dllexport) int ProbeLibraryVersion()
{
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
