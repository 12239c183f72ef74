// The Windows programs' entry point; kept apart so that test programs, which have
// their own main, do not link it.
#include "framework/AfxWinApp.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int nCmdShow)
{
    return AfxWinMain(hInstance, nCmdShow);
}
