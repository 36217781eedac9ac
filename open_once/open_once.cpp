// Keeps a host on the one wave output device it opened first.
//
// Hosts that open the device again and again (a new level, a new scene) would
// otherwise pile up devices or fail once the platform runs out. The first open
// that succeeds is handed to waveOutOpen; its handle is remembered and given to
// every later open without reaching the platform.

#include "open_once.h"

#include "latch.h"

// Where the first open goes: WINMM.DLL's waveOutOpen, imported by name.
#define platform_open waveOutOpen

// ---- module state: zero at load --------------------------------------------
static open_latch device; // the one device every open of this module is answered with
// -----------------------------------------------------------------------------

static MMRESULT open_platform(void *, const wave_open_args *a) {
    return platform_open(a->phwo, a->device, a->format, a->callback, a->instance, a->flags);
}

// The first open, and an open that re-enters on the thread inside it (a
// WOM_OPEN callback opening again), which goes to the platform unchanged.
static MMRESULT open_first(const wave_open_args *args) {
    latch_outcome outcome;
    MMRESULT result = latch_open(&device, open_platform, NULL, args, &outcome);
    if (outcome == latch_reentered)
        return open_platform(NULL, args);
    return result;
}

// The export is a leaf on the answered path: it reads the slot and the flags,
// loads the latch and stores the handle, with no frame and no saved register.
// It is laid out for speed rather than size (the module is built with -Os),
// so that the answered path runs straight through without a taken branch.
// The pass-through and the first open leave it by a jump, with the caller's
// stack as it was, to a function that takes the same six values.
#define ANSWERED_PATH __attribute__((optimize("O2")))
#define RARELY(x) __builtin_expect((x), 0)
#define USUALLY(x) __builtin_expect((x), 1)

#if defined(__i386__)

// With six separate parameters GCC reloads all six and stores them back
// before each such jump, and keeps them in callee-saved registers meanwhile,
// which gives the answered path a frame. As one struct by value they stay
// where the caller put them.
typedef MMRESULT(WINAPI *open_by_request)(wave_open_args request);

__attribute__((noinline)) static MMRESULT WINAPI open_out_of_line(wave_open_args request) {
    return open_first(&request);
}

extern "C" ANSWERED_PATH MMRESULT WINAPI sndlatch(wave_open_args request) {
    if (RARELY(opens_no_device(request.phwo, request.flags)))
        return ((open_by_request)(void (*)(void))platform_open)(request);

    // The answered path: one acquire load and one store, no lock, no shared write.
    if (USUALLY(latch_answer(&device, request.phwo)))
        return MMSYSERR_NOERROR;

    return open_out_of_line(request);
}

#else

// x86-64 passes the first four values in registers, which a jump keeps.
__attribute__((noinline)) static MMRESULT WINAPI open_out_of_line(LPHWAVEOUT phwo, UINT uDeviceID,
                                                                  LPCWAVEFORMATEX pwfx,
                                                                  DWORD_PTR dwCallback,
                                                                  DWORD_PTR dwInstance,
                                                                  DWORD fdwOpen) {
    wave_open_args request = {phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen};
    return open_first(&request);
}

extern "C" ANSWERED_PATH MMRESULT WINAPI sndlatch(LPHWAVEOUT phwo, UINT uDeviceID,
                                                  LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                                                  DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (RARELY(opens_no_device(phwo, fdwOpen)))
        return platform_open(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);

    // The answered path: one acquire load and one store, no lock, no shared write.
    if (USUALLY(latch_answer(&device, phwo)))
        return MMSYSERR_NOERROR;

    return open_out_of_line(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
}

#endif
