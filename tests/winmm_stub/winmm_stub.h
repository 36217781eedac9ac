// Control side of the stand-in WINMM.DLL that the tests load in place of the
// platform's. It records every waveOutOpen call and answers as configured.
#pragma once

#include <windows.h>
#include <mmsystem.h>

struct stub_open_call {
    LPHWAVEOUT phwo;
    UINT uDeviceID;
    LPCWAVEFORMATEX pwfx;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD fdwOpen;
};

extern "C" {
// Forgets all calls and answers MMSYSERR_NOERROR with `handle`, at once.
__declspec(dllimport) void stub_reset(HWAVEOUT handle);
// The answer to the next calls: `result`, and `handle` written into a non-null
// slot when the result is MMSYSERR_NOERROR. Each call first waits `delay_ms`.
__declspec(dllimport) void stub_answer(MMRESULT result, HWAVEOUT handle, DWORD delay_ms);
// Number of waveOutOpen calls since the last reset.
__declspec(dllimport) LONG stub_calls(void);
// The most waveOutOpen calls that were in progress at the same moment.
__declspec(dllimport) LONG stub_max_in_flight(void);
// The six values of the most recent call.
__declspec(dllimport) stub_open_call stub_last_call(void);
}
