// Entry point of sndlatch.dll. The module has no C run-time start-up code, so
// the loader calls this directly.

#include <windows.h>

#include "settings.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // The settings are read once, before the host can reach the export.
    // Thread attach and detach, and process detach, do nothing.
    if (reason == DLL_PROCESS_ATTACH)
        read_settings();
    return TRUE;
}
