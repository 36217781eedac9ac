// How the drop-in builds the open-once entry point: exported as waveOutOpen,
// it answers only the program's own modules from memory and opens through
// the system's waveOutOpen.
#pragma once

#include "caller_scope.h"
#include "real_winmm.h"

#define OPEN_ONCE_ENTRY dropin_waveOutOpen
#define platform_open wm_real_waveOutOpen
