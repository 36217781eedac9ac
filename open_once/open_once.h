// Open-once wave output: the module's one export.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "latch.h"

// Takes waveOutOpen's place. The first successful open goes to the platform;
// every later open is answered with that first handle and MMSYSERR_NOERROR.
// Format queries and requests without a handle slot always go to the platform.
//
// On i386 the six stdcall arguments lie on the stack exactly as one
// wave_open_args passed by value does, so the export takes them that way: the
// same 24 bytes, removed by the callee, as waveOutOpen's six values. It lets
// the export pass them on where the caller put them (see open_once.cpp).
#if defined(__i386__)
extern "C" MMRESULT WINAPI sndlatch(wave_open_args request);
#else
extern "C" MMRESULT WINAPI sndlatch(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
#endif
