// The table of the program's opens and their handles.
//
// Handles are addresses in a range reserved once (MEM_RESERVE, never
// committed): nothing else in the process can be there, so no handle of the
// platform's equals one of them. They are handed out from an increasing
// counter, so a closed handle comes back only after every other one in the
// range was given out (16 million on i386), and then only if it is not in use.

#include "opens.h"

#include <stddef.h>
#include <string.h>

#include "real_winmm.h"

enum {
    buckets = 256, // lists of live opens, by handle
#ifdef _WIN64
    handle_step = 8,
#else
    handle_step = 4,
#endif
};

#ifdef _WIN64
static const UINT_PTR range_bytes = (UINT_PTR)4 << 30; // 512 million handles
#else
static const UINT_PTR range_bytes = (UINT_PTR)64 << 20; // 16 million handles
#endif

// ---- module state ----------------------------------------------------------------
UINT_PTR volatile handles_base;   // the first address of the reserved range
UINT_PTR volatile handles_size;   // its size; 0 until reserved
static CRITICAL_SECTION lock;     // over the table, the queues and the devices
static wave_open *table[buckets]; // live opens, by (handle - base) / step
static UINT_PTR next_index;       // the handle number given next
static wave_open *spares;         // records of closed opens, linked through hash_next
// -----------------------------------------------------------------------------------

void opens_init() {
    InitializeCriticalSection(&lock);
}

void opens_lock() {
    EnterCriticalSection(&lock);
}

void opens_unlock() {
    LeaveCriticalSection(&lock);
}

static wave_open **bucket_of(UINT_PTR index) {
    return &table[index % buckets];
}

static wave_open *find_index(UINT_PTR index) {
    HWAVEOUT handle = (HWAVEOUT)(handles_base + index * handle_step);
    for (wave_open *o = *bucket_of(index); o; o = o->hash_next) {
        if (o->handle == handle)
            return o;
    }
    return NULL;
}

// Reserves the range on the first open. Half of it is tried when the whole
// does not fit, as in a crowded 32-bit address space. On x86-64 it lies at
// the top of the address space, far above 4 GB: no 32-bit value a program
// passes where a handle may go (a device id, WAVE_MAPPER) can fall in it. On
// i386 it cannot either: the lowest and the highest 64 KB are never
// allocated.
static bool reserve_range() {
    if (handles_size)
        return true;
#ifdef _WIN64
    const DWORD where = MEM_TOP_DOWN;
#else
    const DWORD where = 0;
#endif
    for (UINT_PTR size = range_bytes; size >= ((UINT_PTR)1 << 20); size /= 2) {
        void *base = VirtualAlloc(NULL, size, MEM_RESERVE | where, PAGE_NOACCESS);
#ifdef _WIN64
        if (base && (UINT_PTR)base <= 0xFFFFFFFF) {
            VirtualFree(base, 0, MEM_RELEASE);
            base = NULL;
        }
#endif
        if (base) {
            handles_base = (UINT_PTR)base;
            __atomic_store_n(&handles_size, size, __ATOMIC_RELEASE);
            return true;
        }
    }
    return false;
}

bool opens_add(wave_open *open) {
    if (!reserve_range())
        return false;
    UINT_PTR count = handles_size / handle_step;
    // Skips numbers still in use once the counter has come round.
    for (UINT_PTR tries = 0; tries < count; tries++) {
        UINT_PTR index = next_index;
        next_index = next_index + 1 < count ? next_index + 1 : 0;
        if (find_index(index))
            continue;
        open->handle = (HWAVEOUT)(handles_base + index * handle_step);
        open->hash_next = *bucket_of(index);
        *bucket_of(index) = open;
        return true;
    }
    return false;
}

wave_open *opens_find(HWAVEOUT handle) {
    UINT_PTR offset = (UINT_PTR)handle - handles_base;
    if (offset >= handles_size || offset % handle_step)
        return NULL;
    return find_index(offset / handle_step);
}

void opens_remove(wave_open *open) {
    wave_open **link = bucket_of(((UINT_PTR)open->handle - handles_base) / handle_step);
    while (*link && *link != open)
        link = &(*link)->hash_next;
    if (*link)
        *link = open->hash_next;
    open->hash_next = NULL;
}

wave_open *open_alloc() {
    opens_lock();
    wave_open *o = spares;
    if (o)
        spares = o->hash_next;
    opens_unlock();
    if (!o)
        o = (wave_open *)HeapAlloc(GetProcessHeap(), 0, sizeof *o);
    if (o)
        memset(o, 0, offsetof(wave_open, stream));
    return o;
}

void open_free(wave_open *o) {
    opens_lock();
    o->hash_next = spares;
    spares = o;
    opens_unlock();
}

void opens_keep_spares(int count) {
    for (int i = 0; i < count; i++) {
        wave_open *o = (wave_open *)HeapAlloc(GetProcessHeap(), 0, sizeof *o);
        if (!o)
            return;
        // Touched now, so that its pages are there for the open that takes it.
        memset(o, 0, sizeof *o);
        open_free(o);
    }
}

void target_notify(const open_target *target, UINT message, DWORD_PTR param1) {
    wm_real_DriverCallback(target->callback, target->kind, (HDRVR)target->handle, message,
                           target->instance, param1, 0);
}
