// How the drop-in builds the open-once entry point: its first open goes to
// the system's waveOutOpen, through the export slot.
#pragma once

#include "real_winmm.h"

#define platform_open wm_real_waveOutOpen
