// Which callers of waveOutOpen the drop-in answers from memory.
//
// Once winmm.dll is loaded, every module in the process that imports winmm is
// bound to it, the platform's own components too: the wave mapper, the MCI
// wave driver, DirectSound's emulation. These open and close devices of their
// own and must always reach the platform. Only the program's own modules, the
// ones loaded from outside the Windows directory, are answered from memory.
#pragma once

#include <windows.h>

// One module that has called before: its address range and its answer.
struct caller_module {
    UINT_PTR base;
    UINT_PTR size;
    bool answered;
};

enum { caller_cache_slots = 32 };

// ---- module state: the modules seen so far; entries are added, never changed ----
extern caller_module caller_cache[caller_cache_slots]; // filled in order, below caller_cache_count
extern volatile LONG caller_cache_count;               // entries published so far
// -----------------------------------------------------------------------------------

// Finds the module that holds `code`, decides, remembers and returns its answer.
bool classify_caller(void *code);

// True when the call that returns to `return_address` may be answered from
// memory. A caller seen before costs a few compares; the first call from a
// module looks up its file name once.
static inline bool caller_may_be_answered(void *return_address) {
    LONG count = __atomic_load_n(&caller_cache_count, __ATOMIC_ACQUIRE);
    UINT_PTR address = (UINT_PTR)return_address;
    for (LONG i = 0; i < count; i++) {
        if (address - caller_cache[i].base < caller_cache[i].size)
            return caller_cache[i].answered;
    }
    return classify_caller(return_address);
}
