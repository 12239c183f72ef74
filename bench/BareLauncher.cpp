// The floor of one extra process between the user and the client: starts QVS.exe
// from its own folder exactly as QVSCliUpdate.exe does (ShellExecuteExW, no error
// box, the start complete on return) and ends. Nothing else: no window, no files.
#include "bench/LaunchClient.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return LaunchClient() ? 0 : 1;
}
