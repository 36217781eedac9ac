// Open-once wave output: the module's one export.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// Takes waveOutOpen's place. The first successful open goes to the platform;
// every later open is answered with that first handle and MMSYSERR_NOERROR.
// Format queries and requests without a handle slot always go to the platform.
extern "C" MMRESULT WINAPI sndlatch(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
