// Finds the system's winmm.dll and its functions for the export slots.
//
// Every export but waveOutOpen is a jump through its slot. A slot first
// points at a resolver, which loads the system's winmm on the first call that
// needs it, looks the function up once and points the slot at it; from then
// on the call goes straight through, with the caller's stack and registers.

#include "real_winmm.h"

#include "bare_name.h"
#include "settings.h"

extern "C" {
extern void *wm_slots[];                    // where each export jumps (stubs.cpp)
extern void *const wm_missing[];            // each export's answer when it cannot be had
extern const char *const wm_export_names[]; // the named exports, in slot order
extern const unsigned wm_export_count;      // slots from here on are ordinals 1, 2, ...
extern const unsigned wm_handler_count;     // exports the drop-in handles itself
extern const char *const wm_handler_names[];
extern void *const wm_handlers[];    // their functions, in the same order
extern IMAGE_DOS_HEADER __ImageBase; // this module
}

// ---- module state ----------------------------------------------------------------
static HMODULE volatile real_winmm; // the system's winmm.dll once loaded; NULL before
static volatile LONG real_missing;  // 1 when it could not be loaded; never retried
// -----------------------------------------------------------------------------------

// Loads the system's winmm by its full path: a bare name would give back this
// module. The system directory is the one of the process's own architecture:
// on 64-bit Windows a 32-bit process's is redirected to SysWOW64, which holds
// the 32-bit winmm, and a 64-bit process's is System32, with the 64-bit one.
static HMODULE load_real_winmm() {
    static const WCHAR file[] = L"\\winmm.dll";
    WCHAR path[MAX_PATH + sizeof file / sizeof file[0]];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return NULL;
    for (UINT i = 0; i < sizeof file / sizeof file[0]; i++)
        path[n + i] = file[i];
    HMODULE module = LoadLibraryW(path);
    if (module == (HMODULE)&__ImageBase) {
        // A loader that matched the name to this module: using it would
        // make every export call itself.
        FreeLibrary(module);
        module = NULL;
    }
    if (module)
        hide_loaded_winmm_namesake(module);
    write_debug_log_path("system winmm ", path, module ? ": loaded\n" : ": cannot be loaded\n");
    return module;
}

// The system's winmm, loaded on the first call that needs it; never from
// DllMain, where the loader lock is held. Racing first calls may both load
// it: the loser drops its reference.
static HMODULE real_winmm_module() {
    HMODULE module = __atomic_load_n(&real_winmm, __ATOMIC_ACQUIRE);
    if (module || __atomic_load_n(&real_missing, __ATOMIC_ACQUIRE))
        return module;
    module = load_real_winmm();
    if (!module) {
        __atomic_store_n(&real_missing, 1, __ATOMIC_RELEASE);
        return NULL;
    }
    HMODULE first =
        (HMODULE)InterlockedCompareExchangePointer((PVOID volatile *)&real_winmm, module, NULL);
    if (first) {
        FreeLibrary(module);
        return first;
    }
    return module;
}

// The system's function behind slot `index`: a named export by its name,
// an export by ordinal by the same ordinal. An ordinal that leads to a
// function the drop-in handles itself (waveOutOpen, waveOutClose, ...) is the
// drop-in's own.
static void *real_function(HMODULE module, unsigned index) {
    if (index < wm_export_count)
        return (void *)GetProcAddress(module, wm_export_names[index]);
    unsigned ordinal = index - wm_export_count + 1;
    void *function = (void *)GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    for (unsigned i = 0; function && i < wm_handler_count; i++) {
        if (function == (void *)GetProcAddress(module, wm_handler_names[i]))
            function = wm_handlers[i];
    }
    return function;
}

// Points slot `index` at the system's function, or at its missing answer,
// and returns where the call goes now. Called by wm_resolve_common (arch_*.cpp),
// which keeps the caller's argument registers and stack around it; the
// caller's last-error value reaches the function as the caller left it.
extern "C" void *WINAPI wm_resolve(unsigned index) {
    DWORD last_error = GetLastError();
    HMODULE module = real_winmm_module();
    void *target = module ? real_function(module, index) : NULL;
    if (!target) {
        if (index < wm_export_count)
            write_debug_log("%s: not in the system winmm, answered with an error\n",
                            wm_export_names[index]);
        else
            write_debug_log("ordinal %u: not in the system winmm\n", index - wm_export_count + 1);
        target = wm_missing[index];
    }
    __atomic_store_n(&wm_slots[index], target, __ATOMIC_RELEASE);
    SetLastError(last_error);
    return target;
}

// Where a call by an ordinal that the system's winmm lacks ends. Nothing is
// known of its arguments, so it cannot return: it fails as the loader fails
// a program that imports a missing ordinal.
extern "C" void wm_ordinal_missing() {
    const DWORD status_ordinal_not_found = 0xC0000138;
    RaiseException(status_ordinal_not_found, EXCEPTION_NONCONTINUABLE, 0, NULL);
}
