// Takes the base name "winmm.dll" from every module but the drop-in.

#include "bare_name.h"

extern "C" IMAGE_DOS_HEADER __ImageBase; // this module

// The start of the loader's record of a module, laid out alike by every
// Windows since NT 4 and by Wine.
struct loader_entry {
    LIST_ENTRY load_order;
    LIST_ENTRY memory_order;
    LIST_ENTRY init_order;
    void *base;
    void *entry_point;
    ULONG size;
    UNICODE_STRING full_name;
    UNICODE_STRING base_name;
};

typedef NTSTATUS(NTAPI *find_entry_fn)(void *address, loader_entry **entry);

static bool is_winmm_dll(const UNICODE_STRING *name) {
    static const char winmm[] = "WINMM.DLL";
    if (name->Length != (sizeof winmm - 1) * sizeof(WCHAR))
        return false;
    for (UINT i = 0; i < sizeof winmm - 1; i++) {
        WCHAR c = name->Buffer[i];
        if (c >= L'a' && c <= L'z')
            c = (WCHAR)(c - L'a' + L'A');
        if (c != (WCHAR)winmm[i])
            return false;
    }
    return true;
}

void hide_winmm_namesake(UNICODE_STRING *base_name, const void *base) {
    if (base == &__ImageBase || !is_winmm_dll(base_name))
        return;
    // One aligned 16-bit store: a lookup running meanwhile on another
    // thread sees the old length or the new one. The buffer is untouched.
    __atomic_store_n(&base_name->Length, (USHORT)(base_name->Length - sizeof(WCHAR)),
                     __ATOMIC_RELEASE);
}

void hide_loaded_winmm_namesake(HMODULE module) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    find_entry_fn find_entry =
        ntdll ? (find_entry_fn)(void (*)())GetProcAddress(ntdll, "LdrFindEntryForAddress") : NULL;
    loader_entry *entry;
    if (find_entry && find_entry((void *)module, &entry) >= 0 && entry->base == (void *)module)
        hide_winmm_namesake(&entry->base_name, module);
}
