// Which callers of waveOutOpen the drop-in answers with opens of its own.
//
// Once winmm.dll is loaded, every module in the process that imports winmm is
// bound to it, the platform's own components too: the wave mapper, the MCI
// wave driver, DirectSound's emulation. These open and close devices of their
// own and must always reach the platform. Only the program's own modules, the
// ones loaded from outside the Windows directory, get the drop-in's opens.
#pragma once

#include <windows.h>

// True when the call that returns to `return_address` gets an open of the
// drop-in's. A module seen before costs a few compares; the first call from a
// module looks up its file name once.
extern "C" bool WINAPI caller_may_be_answered(void *return_address);

// Forgets the module at `base`, which is being unloaded: a module loaded at
// its address later is judged afresh.
extern "C" void forget_caller_module(UINT_PTR base);
