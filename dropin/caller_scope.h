// Which callers of waveOutOpen the drop-in answers from memory.
//
// Once winmm.dll is loaded, every module in the process that imports winmm is
// bound to it, the platform's own components too: the wave mapper, the MCI
// wave driver, DirectSound's emulation. These open and close devices of their
// own and must always reach the platform. Only the program's own modules, the
// ones loaded from outside the Windows directory, are answered from memory.
#pragma once

#include <windows.h>

// True when the call that returns to `return_address` may be answered from
// memory. A module seen before costs a few compares; the first call from a
// module looks up its file name once.
extern "C" bool WINAPI caller_may_be_answered(void *return_address);

// Forgets the module at `base`, which is being unloaded: a module loaded at
// its address later is judged afresh.
extern "C" void forget_caller_module(UINT_PTR base);
