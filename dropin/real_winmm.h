// The system's winmm.dll, behind the drop-in's export slots.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// The system's waveOutOpen, reached through its export slot like every
// passed-on call; MMSYSERR_NODRIVER when it cannot be had.
extern "C" MMRESULT WINAPI wm_real_waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID,
                                               LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                                               DWORD_PTR dwInstance, DWORD fdwOpen);
