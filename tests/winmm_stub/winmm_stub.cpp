// A stand-in WINMM.DLL for tests. Loaded from the test program's folder (Wine:
// WINEDLLOVERRIDES="winmm=n"), it takes the place of the platform's waveOutOpen.

// This module defines waveOutOpen itself rather than importing it.
#define _WINMM_
#include <windows.h>
#include <mmsystem.h>

#define STUB_API
#include "winmm_stub.h"

static CRITICAL_SECTION lock;   // guards last_call
static volatile LONG calls;     // waveOutOpen calls since the last reset
static volatile LONG in_flight; // calls in progress now
static volatile LONG max_in_flight;
static stub_open_call last_call;
static volatile LONG answer_result;
static volatile LONG answer_handle;
static volatile LONG answer_delay_ms;
static volatile LONG
    notify_open; // nonzero: a successful open sends WOM_OPEN to a callback function

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&lock);
    return TRUE;
}

extern "C" void stub_answer(MMRESULT result, HWAVEOUT handle, DWORD delay_ms) {
    InterlockedExchange(&answer_result, (LONG)result);
    InterlockedExchange(&answer_handle, (LONG)(LONG_PTR)handle);
    InterlockedExchange(&answer_delay_ms, (LONG)delay_ms);
}

extern "C" void stub_reset(HWAVEOUT handle) {
    stub_answer(MMSYSERR_NOERROR, handle, 0);
    stub_notify(FALSE);
    InterlockedExchange(&calls, 0);
    InterlockedExchange(&in_flight, 0);
    InterlockedExchange(&max_in_flight, 0);
}

extern "C" void stub_notify(BOOL on) {
    InterlockedExchange(&notify_open, on);
}

extern "C" LONG stub_calls(void) {
    return calls;
}

extern "C" LONG stub_max_in_flight(void) {
    return max_in_flight;
}

extern "C" stub_open_call stub_last_call(void) {
    EnterCriticalSection(&lock);
    stub_open_call c = last_call;
    LeaveCriticalSection(&lock);
    return c;
}

extern "C" MMRESULT WINAPI waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                       DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    InterlockedIncrement(&calls);
    LONG now = InterlockedIncrement(&in_flight);
    for (LONG seen = max_in_flight; now > seen; seen = max_in_flight)
        InterlockedCompareExchange(&max_in_flight, now, seen);

    EnterCriticalSection(&lock);
    last_call = {phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen};
    LeaveCriticalSection(&lock);

    if (answer_delay_ms)
        Sleep((DWORD)answer_delay_ms);
    MMRESULT result = (MMRESULT)answer_result;
    HWAVEOUT handle = (HWAVEOUT)(LONG_PTR)answer_handle;
    if (result == MMSYSERR_NOERROR && phwo)
        *phwo = handle;
    InterlockedDecrement(&in_flight);
    // As the platform does, on the opening thread before the open returns.
    if (result == MMSYSERR_NOERROR && notify_open &&
        (fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION)
        ((LPDRVCALLBACK)dwCallback)((HDRVR)handle, WOM_OPEN, dwInstance, 0, 0);
    return result;
}
