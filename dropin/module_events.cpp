// The drop-in's entry point, and what it does as other modules load and
// unload.
//
// On Windows Vista and later, and under Wine, the loader tells the drop-in of
// every module it loads or unloads: a module named winmm.dll that is not the
// drop-in loses that base name (bare_name.h), and an unloaded module is
// forgotten by the caller cache, so a module later loaded at its address is
// judged afresh. Windows XP has no such notifications: there a module
// unloaded and another loaded at its address get the first one's answer, and
// the system's winmm loses its base name only when the drop-in loads it.

#include <windows.h>
#include <winternl.h>

#include "bare_name.h"
#include "caller_scope.h"
#include "device.h"
#include "load_log.h"
#include "settings.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID); // the shared entry point

// What the loader passes for either reason; the names are its own records.
struct module_event {
    ULONG flags;
    const UNICODE_STRING *full_name;
    UNICODE_STRING *base_name;
    void *base;
    ULONG size;
};

enum { module_loaded = 1, module_unloaded = 2 };

typedef void(CALLBACK *module_event_fn)(ULONG reason, const module_event *event, void *context);
typedef NTSTATUS(NTAPI *register_fn)(ULONG flags, module_event_fn callback, void *context,
                                     void **cookie);
typedef NTSTATUS(NTAPI *unregister_fn)(void *cookie);

// ---- module state: set at process attach, cleared at detach -------------------
static void *events_cookie; // the loader's registration; NULL where there is none
// -----------------------------------------------------------------------------------

static void CALLBACK on_module_event(ULONG reason, const module_event *event, void *) {
    if (reason == module_loaded)
        hide_winmm_namesake(event->base_name, event->base);
    else if (reason == module_unloaded)
        forget_caller_module((UINT_PTR)event->base);
}

static FARPROC ntdll_function(const char *name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? GetProcAddress(ntdll, name) : NULL;
}

// The loader enters here. The settings and the log's place are fixed before
// anything can call the drop-in; the notifications stop when a program frees
// the drop-in, since their callback goes with it.
extern "C" BOOL WINAPI dropin_DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    DllMain(instance, reason, reserved);
    if (reason == DLL_PROCESS_ATTACH) {
        opens_init();
        devices_init();
        fix_debug_log_path();
        write_load_line();
        register_fn watch = (register_fn)(void (*)())ntdll_function("LdrRegisterDllNotification");
        if (!watch || watch(0, on_module_event, NULL, &events_cookie) < 0)
            events_cookie = NULL;
    } else if (reason == DLL_PROCESS_DETACH && !reserved && events_cookie) {
        unregister_fn stop =
            (unregister_fn)(void (*)())ntdll_function("LdrUnregisterDllNotification");
        if (stop)
            stop(events_cookie);
        events_cookie = NULL;
    }
    return TRUE;
}
