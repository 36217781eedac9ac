// Keeps a host on the one wave output device it opened first.
//
// Hosts that open the device again and again (a new level, a new scene) would
// otherwise pile up devices or fail once the platform runs out. The first open
// that succeeds is handed to waveOutOpen; its handle is remembered and given to
// every later open without reaching the platform.

#include "open_once.h"

#include "latch.h"

// Where the first open goes. sndlatch.dll imports waveOutOpen from WINMM.DLL;
// the drop-in winmm.dll, built from this same file, names a header of its own
// in OPEN_ONCE_HOOKS that points it at the system's winmm.
#ifdef OPEN_ONCE_HOOKS
#include OPEN_ONCE_HOOKS
#else
#define platform_open waveOutOpen
#endif

// ---- module state: zero at load --------------------------------------------
static open_latch device; // the one device every open of this module is answered with
// -----------------------------------------------------------------------------

static MMRESULT open_platform(void *, const wave_open_args *a) {
    return platform_open(a->phwo, a->device, a->format, a->callback, a->instance, a->flags);
}

extern "C" MMRESULT WINAPI sndlatch(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (opens_no_device(phwo, fdwOpen))
        return platform_open(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);

    // The answered path: one acquire load and one store, no lock, no shared write.
    if (latch_answer(&device, phwo))
        return MMSYSERR_NOERROR;

    wave_open_args args = {phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen};
    latch_outcome outcome;
    MMRESULT result = latch_open(&device, open_platform, NULL, &args, &outcome);
    if (outcome == latch_reentered)
        return platform_open(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
    return result;
}
