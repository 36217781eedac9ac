/* A DLL that starts a multimedia timer in its DllMain and then looks winmm up
   by its bare name there, as sound libraries that set a timer at load do. */
#include <windows.h>
#include <mmsystem.h>

static HMODULE found[4];
static UINT timer;

static void CALLBACK on_timer(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR a, DWORD_PTR b) {
    (void)id, (void)msg, (void)user, (void)a, (void)b;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance, (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        timer = timeSetEvent(10000, 10, on_timer, 0, TIME_ONESHOT);
        found[0] = LoadLibraryA("winmm");
        found[1] = LoadLibraryW(L"WINMM.DLL");
        found[2] = GetModuleHandleA("Winmm.dll");
        found[3] = GetModuleHandleW(L"winmm");
    }
    return TRUE;
}

/* The four modules found in DllMain; returns the timer, for the caller to kill. */
__declspec(dllexport) UINT WINAPI timer_lib_lookups(HMODULE *out) {
    for (int i = 0; i < 4; i++)
        out[i] = found[i];
    return timer;
}
