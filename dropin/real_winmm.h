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
MMRESULT WINAPI wm_real_waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI wm_real_waveOutPause(HWAVEOUT hwo);
MMRESULT WINAPI wm_real_waveOutRestart(HWAVEOUT hwo);
MMRESULT WINAPI wm_real_waveOutReset(HWAVEOUT hwo);
MMRESULT WINAPI wm_real_waveOutBreakLoop(HWAVEOUT hwo);
MMRESULT WINAPI wm_real_waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt);
MMRESULT WINAPI wm_real_waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume);
MMRESULT WINAPI wm_real_waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
MMRESULT WINAPI wm_real_waveOutGetPitch(HWAVEOUT hwo, LPDWORD pdwPitch);
MMRESULT WINAPI wm_real_waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch);
MMRESULT WINAPI wm_real_waveOutGetPlaybackRate(HWAVEOUT hwo, LPDWORD pdwRate);
MMRESULT WINAPI wm_real_waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate);
MMRESULT WINAPI wm_real_waveOutGetID(HWAVEOUT hwo, LPUINT puDeviceID);
MMRESULT WINAPI wm_real_waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
MMRESULT WINAPI wm_real_waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc);
MMRESULT WINAPI wm_real_waveOutGetDevCapsW(UINT_PTR uDeviceID, LPWAVEOUTCAPSW pwoc, UINT cbwoc);
BOOL WINAPI wm_real_DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                                   DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
}
