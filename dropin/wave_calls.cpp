// The waveOut functions that take a handle and play: headers, write,
// pause, restart, reset and loops. A handle outside the drop-in's range is
// the platform's: the call goes to the system's function unchanged, whoever
// makes it. A handle of the drop-in's acts on that open alone, with the
// platform's checks, result codes and header flags; one in its range that is
// not open is MMSYSERR_INVALHANDLE. Close is in wave_open.cpp, the calls
// that ask or set an open's state in wave_state.cpp.

#include "device.h"
#include "mixer.h"
#include "real_winmm.h"

// Each handler is the range check and a jump: to the system's function, or to
// the function for the drop-in's opens, kept out of line so that a passed-on
// call builds no stack frame.
#define NOINLINE __attribute__((noinline))

// The checks prepare and unprepare share: a whole header, not in the queue,
// of an open that is live.
static MMRESULT check_header(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!pwh || cbwh < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (pwh->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    opens_lock();
    bool open = opens_find(hwo) != NULL;
    opens_unlock();
    return open ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

static MMRESULT WINAPI NOINLINE open_waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    MMRESULT result = check_header(hwo, pwh, cbwh);
    if (result == MMSYSERR_NOERROR)
        pwh->dwFlags = (pwh->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
    return result;
}

extern "C" MMRESULT WINAPI dropin_waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutPrepareHeader(hwo, pwh, cbwh);
    return open_waveOutPrepareHeader(hwo, pwh, cbwh);
}

static MMRESULT WINAPI NOINLINE open_waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh,
                                                            UINT cbwh) {
    // A header that is not prepared needs nothing, as on the platform.
    if (pwh && cbwh >= sizeof(WAVEHDR) && !(pwh->dwFlags & WHDR_PREPARED))
        return MMSYSERR_NOERROR;
    MMRESULT result = check_header(hwo, pwh, cbwh);
    if (result == MMSYSERR_NOERROR)
        pwh->dwFlags = (pwh->dwFlags & ~WHDR_PREPARED) | WHDR_DONE;
    return result;
}

extern "C" MMRESULT WINAPI dropin_waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutUnprepareHeader(hwo, pwh, cbwh);
    return open_waveOutUnprepareHeader(hwo, pwh, cbwh);
}

static MMRESULT WINAPI NOINLINE open_waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    opens_lock();
    wave_open *o = opens_find(hwo);
    MMRESULT result = MMSYSERR_NOERROR;
    if (!o)
        result = MMSYSERR_INVALHANDLE;
    else if (!pwh || cbwh < sizeof(WAVEHDR))
        result = MMSYSERR_INVALPARAM;
    else if (!pwh->lpData || !(pwh->dwFlags & WHDR_PREPARED))
        result = WAVERR_UNPREPARED;
    else if (pwh->dwFlags & WHDR_INQUEUE)
        result = WAVERR_STILLPLAYING;
    if (result == MMSYSERR_NOERROR) {
        queue_write(o, pwh);
        device_wake(o->device);
    }
    opens_unlock();
    return result;
}

extern "C" MMRESULT WINAPI dropin_waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutWrite(hwo, pwh, cbwh);
    return open_waveOutWrite(hwo, pwh, cbwh);
}

// Pause and restart act on the open's place in the mix; the real device plays on.
static MMRESULT set_paused(HWAVEOUT hwo, bool paused) {
    opens_lock();
    wave_open *o = opens_find(hwo);
    if (o) {
        o->paused = paused;
        o->dry = false;
        if (!paused)
            device_wake(o->device);
    }
    opens_unlock();
    return o ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

static MMRESULT WINAPI NOINLINE open_waveOutPause(HWAVEOUT hwo) {
    return set_paused(hwo, true);
}

extern "C" MMRESULT WINAPI dropin_waveOutPause(HWAVEOUT hwo) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutPause(hwo);
    return open_waveOutPause(hwo);
}

static MMRESULT WINAPI NOINLINE open_waveOutRestart(HWAVEOUT hwo) {
    return set_paused(hwo, false);
}

extern "C" MMRESULT WINAPI dropin_waveOutRestart(HWAVEOUT hwo) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutRestart(hwo);
    return open_waveOutRestart(hwo);
}

// Returns every queued buffer marked done, each with WOM_DONE, on the calling
// thread; the position starts again at 0.
// The target is copied: the program may close the open from one of these
// callbacks, and the rest still go where the first did, as on the platform.
static MMRESULT WINAPI NOINLINE open_waveOutReset(HWAVEOUT hwo) {
    opens_lock();
    wave_open *o = opens_find(hwo);
    WAVEHDR *taken = o ? queue_take_all(o) : NULL;
    open_target target = o ? open_target_of(o) : open_target();
    opens_unlock();
    if (!o)
        return MMSYSERR_INVALHANDLE;
    while (taken) {
        WAVEHDR *next = taken->lpNext;
        taken->dwFlags = (taken->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        target_notify(&target, WOM_DONE, (DWORD_PTR)taken);
        taken = next;
    }
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI dropin_waveOutReset(HWAVEOUT hwo) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutReset(hwo);
    return open_waveOutReset(hwo);
}

static MMRESULT WINAPI NOINLINE open_waveOutBreakLoop(HWAVEOUT hwo) {
    opens_lock();
    wave_open *o = opens_find(hwo);
    if (o && o->loop_start)
        o->loops_left = 1;
    opens_unlock();
    return o ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

extern "C" MMRESULT WINAPI dropin_waveOutBreakLoop(HWAVEOUT hwo) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutBreakLoop(hwo);
    return open_waveOutBreakLoop(hwo);
}
