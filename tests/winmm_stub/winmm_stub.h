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

// The stub itself defines STUB_API as empty before including this header.
#ifndef STUB_API
#define STUB_API __declspec(dllimport)
#endif

extern "C" {
// Forgets all calls, stops notifying, and answers MMSYSERR_NOERROR with `handle`, at once.
STUB_API void stub_reset(HWAVEOUT handle);
// The answer to the next calls: `result`, and `handle` written into a non-null
// slot when the result is MMSYSERR_NOERROR. Each call first waits `delay_ms`.
STUB_API void stub_answer(MMRESULT result, HWAVEOUT handle, DWORD delay_ms);
// With `on`, a successful open with CALLBACK_FUNCTION calls that function
// with WOM_OPEN before it returns, on the opening thread. Off after a reset.
STUB_API void stub_notify(BOOL on);
// Number of waveOutOpen calls since the last reset.
STUB_API LONG stub_calls(void);
// The most waveOutOpen calls that were in progress at the same moment.
STUB_API LONG stub_max_in_flight(void);
// The six values of the most recent call.
STUB_API stub_open_call stub_last_call(void);
}
