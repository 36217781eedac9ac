// The system's winmm.dll, behind the drop-in's export slots.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// The system's functions, reached through their export slots like every
// passed-on call; each answers its error value when it cannot be had.
extern "C" {
MMRESULT WINAPI wm_real_waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI wm_real_waveOutClose(HWAVEOUT hwo);
MMRESULT WINAPI wm_real_waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI wm_real_waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
BOOL WINAPI wm_real_DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                                   DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
}
