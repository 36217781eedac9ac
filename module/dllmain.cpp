// Entry point of sndlatch.dll. The module has no C run-time start-up code, so
// the loader calls this directly.

#include <windows.h>

#include "settings.h"

#ifdef DLLMAIN_HOOKS
#include DLLMAIN_HOOKS // what a module built from this file adds at load
#else
static void after_settings_read() {}
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // The settings are read once, before the host can reach the export.
    // Thread attach and detach, and process detach, do nothing.
    if (reason == DLL_PROCESS_ATTACH) {
        read_settings();
        after_settings_read();
    }
    return TRUE;
}
