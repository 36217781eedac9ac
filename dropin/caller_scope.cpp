// Decides, once per module, whether its waveOutOpen calls are answered from
// memory: modules in the Windows directory are the platform's and never are.

#include "caller_scope.h"

#include "settings.h"

// ---- module state ----------------------------------------------------------------
caller_module caller_cache[caller_cache_slots]; // the modules seen so far
volatile LONG caller_cache_count;               // how many entries are published
static volatile LONG cache_busy;                // 1 while one thread adds an entry
// -----------------------------------------------------------------------------------

static WCHAR ascii_upper(WCHAR c) {
    return c >= L'a' && c <= L'z' ? (WCHAR)(c - L'a' + L'A') : c;
}

// True when `path` lies in `folder` or below it. Letter case is ignored for
// ASCII letters, as the file system ignores it.
static bool path_is_under(const WCHAR *path, const WCHAR *folder) {
    UINT i = 0;
    for (; folder[i]; i++) {
        if (ascii_upper(path[i]) != ascii_upper(folder[i]))
            return false;
    }
    return i > 0 && (folder[i - 1] == L'\\' || path[i] == L'\\');
}

// The platform's modules live in the Windows directory: system32 (SysWOW64
// for a 32-bit process on 64-bit Windows), the driver files, WinSxS. The
// system-wide directory, not a terminal-server user's private one.
static bool is_platform_module(HMODULE module, WCHAR *path, UINT path_size) {
    WCHAR windows[MAX_PATH + 1];
    UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH)
        return false;
    DWORD length = GetModuleFileNameW(module, path, path_size);
    if (length == 0 || length >= path_size)
        return false;
    return path_is_under(path, windows);
}

static void remember(UINT_PTR base, UINT_PTR size, bool answered) {
    while (InterlockedCompareExchange(&cache_busy, 1, 0) != 0)
        Sleep(0);
    LONG count = caller_cache_count;
    bool known = false;
    for (LONG i = 0; i < count; i++)
        known = known || caller_cache[i].base == base;
    if (!known && count < caller_cache_slots) {
        caller_cache[count].base = base;
        caller_cache[count].size = size;
        caller_cache[count].answered = answered;
        __atomic_store_n(&caller_cache_count, count + 1, __ATOMIC_RELEASE);
    }
    InterlockedExchange(&cache_busy, 0);
}

bool classify_caller(void *code) {
    HMODULE module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)code, &module)) {
        // Code outside every module image (generated at run time) belongs
        // to the program, not to a platform component.
        return true;
    }
    WCHAR path[1024];
    path[0] = 0;
    bool answered = !is_platform_module(module, path, 1024);
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)module;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)((const BYTE *)module + dos->e_lfanew);
    remember((UINT_PTR)module, nt->OptionalHeader.SizeOfImage, answered);
    write_debug_log("waveOutOpen called from %ls: %s\n", path,
                    answered ? "the program's module, answered from memory after the first open"
                             : "a platform module, always passed to the system's winmm");
    return answered;
}
