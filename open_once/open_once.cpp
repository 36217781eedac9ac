// Keeps a host on the one wave output device it opened first.
//
// Hosts that open the device again and again (a new level, a new scene) would
// otherwise pile up devices or fail once the platform runs out. The first open
// that succeeds is handed to waveOutOpen; its handle is remembered and given to
// every later open without reaching the platform.

#include "open_once.h"

// Where the first open goes. sndlatch.dll imports waveOutOpen from WINMM.DLL;
// the drop-in winmm.dll, built from this same file, names a header of its own
// in OPEN_ONCE_HOOKS that points it at the system's winmm.
#ifdef OPEN_ONCE_HOOKS
#include OPEN_ONCE_HOOKS
#else
#define platform_open waveOutOpen
#endif

// ---- module state: zero at load, never reset while the module is loaded ----
static volatile LONG open_done; // 1 once a platform open succeeded and open_handle is set
static HWAVEOUT open_handle;    // the handle that first successful open produced
static volatile LONG open_busy; // 1 while one thread is calling the platform to open
// -----------------------------------------------------------------------------

// A request that opens no device: a format query, or no slot for a handle.
// These go to the platform as they are, before and after the first open.
static bool opens_no_device(LPHWAVEOUT phwo, DWORD fdwOpen) {
    return phwo == NULL || (fdwOpen & WAVE_FORMAT_QUERY) != 0;
}

static void lock_first_open() {
    // Contention is only possible during the first open, which is rare and
    // short, so a yielding spin is enough and needs no set-up or tear-down.
    while (InterlockedCompareExchange(&open_busy, 1, 0) != 0)
        Sleep(1);
}

static void unlock_first_open() {
    InterlockedExchange(&open_busy, 0);
}

extern "C" MMRESULT WINAPI sndlatch(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (opens_no_device(phwo, fdwOpen))
        return platform_open(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);

    // The answered path: one acquire load and one store, no lock, no shared write.
    if (__atomic_load_n(&open_done, __ATOMIC_ACQUIRE)) {
        *phwo = open_handle;
        return MMSYSERR_NOERROR;
    }

    lock_first_open();
    MMRESULT result;
    if (open_done) {
        // Another thread opened the device while this one waited.
        *phwo = open_handle;
        result = MMSYSERR_NOERROR;
    } else {
        result = platform_open(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
        // A failed open is not remembered: the next request tries the platform again.
        if (result == MMSYSERR_NOERROR) {
            open_handle = *phwo;
            __atomic_store_n(&open_done, 1, __ATOMIC_RELEASE);
        }
    }
    unlock_first_open();
    return result;
}
