// Decides, once per module, whether its waveOutOpen calls get opens of the
// drop-in's: modules in the Windows directory are the platform's and never do.

#include "caller_scope.h"

#include "settings.h"

// One module that has called before: its address range and its answer.
struct caller_module {
    UINT_PTR base;
    UINT_PTR size; // written last; 0 while the entry is not filled, `gone` once unloaded
    bool answered;
};

// The size of an entry whose module was unloaded: it matches no return
// address, since a module's first byte is its header, never code. The
// entry is filled again by the next new caller.
enum { cache_slots = 32, gone = 1 };

// ---- module state: entries are filled, emptied when their module unloads, refilled --
static caller_module cache[cache_slots]; // filled in order; the first empty one ends it
static LONG cache_used;                  // entries ever filled; changed only under cache_busy
static volatile LONG cache_busy;         // 1 while one thread adds or empties entries
// -----------------------------------------------------------------------------------

static void lock_cache() {
    while (InterlockedCompareExchange(&cache_busy, 1, 0) != 0)
        Sleep(0);
}

static void unlock_cache() {
    InterlockedExchange(&cache_busy, 0);
}

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
    lock_cache();
    caller_module *free_entry = NULL;
    bool known = false;
    for (LONG i = 0; i < cache_used; i++) {
        if (cache[i].size == gone)
            free_entry = free_entry ? free_entry : &cache[i];
        else
            known = known || cache[i].base == base;
    }
    if (!known && !free_entry && cache_used < cache_slots)
        free_entry = &cache[cache_used++];
    if (!known && free_entry) {
        free_entry->base = base;
        free_entry->answered = answered;
        // Readers take an entry as filled once its size is neither 0 nor gone.
        __atomic_store_n(&free_entry->size, size, __ATOMIC_RELEASE);
    }
    unlock_cache();
}

extern "C" void forget_caller_module(UINT_PTR base) {
    lock_cache();
    for (LONG i = 0; i < cache_used; i++) {
        if (cache[i].base == base)
            __atomic_store_n(&cache[i].size, (UINT_PTR)gone, __ATOMIC_RELEASE);
    }
    unlock_cache();
}

// Finds the module that holds `code`, decides, remembers and returns its answer.
// The platform's own last-error value is kept, as the platform keeps it.
static bool classify_caller(void *code) {
    DWORD last_error = GetLastError();
    HMODULE module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)code, &module)) {
        // Code outside every module image (generated at run time) belongs
        // to the program, not to a platform component.
        SetLastError(last_error);
        return true;
    }
    WCHAR path[1024];
    path[0] = 0;
    bool answered = !is_platform_module(module, path, 1024);
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)module;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)((const BYTE *)module + dos->e_lfanew);
    remember((UINT_PTR)module, nt->OptionalHeader.SizeOfImage, answered);
    write_debug_log_path("waveOutOpen called from ", path,
                         answered ? ": the program's module, its opens get devices of their own\n"
                                  : ": a platform module, always passed to the system's winmm\n");
    SetLastError(last_error);
    return answered;
}

extern "C" bool WINAPI caller_may_be_answered(void *return_address) {
    UINT_PTR address = (UINT_PTR)return_address;
    for (const caller_module *m = cache; m < cache + cache_slots; m++) {
        UINT_PTR size = __atomic_load_n(&m->size, __ATOMIC_ACQUIRE);
        if (size == 0)
            break;
        if (address - m->base < size)
            return m->answered;
    }
    return classify_caller(return_address);
}
