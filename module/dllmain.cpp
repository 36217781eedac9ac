// Entry point of sndlatch.dll. The module has no C run-time start-up code, so
// the loader calls this directly.

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
