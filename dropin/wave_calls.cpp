// The waveOut functions that take a handle, other than close. A handle
// outside the drop-in's range is the platform's: the call goes to the
// system's function unchanged, whoever makes it. A handle of the drop-in's
// acts on that open alone, with the platform's checks, result codes and
// header flags; one in its range that is not open is MMSYSERR_INVALHANDLE.

#include "device.h"
#include "mixer.h"
#include "real_winmm.h"

// Each handler is the range check and a jump: to the system's function, or to
// the function for the drop-in's opens, kept out of line so that a passed-on
// call builds no stack frame.
#define NOINLINE __attribute__((noinline))

static MMRESULT WINAPI NOINLINE open_waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!pwh || cbwh < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (pwh->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    opens_lock();
    bool open = opens_find(hwo) != NULL;
    opens_unlock();
    if (!open)
        return MMSYSERR_INVALHANDLE;
    pwh->dwFlags = (pwh->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI dropin_waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutPrepareHeader(hwo, pwh, cbwh);
    return open_waveOutPrepareHeader(hwo, pwh, cbwh);
}

static MMRESULT WINAPI NOINLINE open_waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh,
                                                            UINT cbwh) {
    if (!pwh || cbwh < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (!(pwh->dwFlags & WHDR_PREPARED))
        return MMSYSERR_NOERROR;
    if (pwh->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    opens_lock();
    bool open = opens_find(hwo) != NULL;
    opens_unlock();
    if (!open)
        return MMSYSERR_INVALHANDLE;
    pwh->dwFlags = (pwh->dwFlags & ~WHDR_PREPARED) | WHDR_DONE;
    return MMSYSERR_NOERROR;
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
        SetEvent(o->device->event);
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
        SetEvent(o->device->event);
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
static MMRESULT WINAPI NOINLINE open_waveOutReset(HWAVEOUT hwo) {
    opens_lock();
    wave_open *o = opens_find(hwo);
    WAVEHDR *taken = o ? queue_take_all(o) : NULL;
    for (WAVEHDR *h = taken; h; h = h->lpNext)
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    opens_unlock();
    if (!o)
        return MMSYSERR_INVALHANDLE;
    while (taken) {
        WAVEHDR *next = taken->lpNext;
        open_notify(o, WOM_DONE, (DWORD_PTR)taken);
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

// The bytes of the open's own format played; TIME_SAMPLES and TIME_MS from
// them, TIME_SMPTE as the platform counts it, and any other type answered in
// TIME_BYTES, as the platform answers it.
static void position_as(MMTIME *time, UINT64 bytes, const pcm_format *format) {
    DWORD frames = (DWORD)(bytes / format->block_align);
    switch (time->wType) {
    case TIME_SAMPLES:
        time->u.sample = frames;
        break;
    case TIME_MS:
        time->u.ms = (DWORD)((UINT64)frames * 1000 / format->rate);
        break;
    case TIME_SMPTE: {
        DWORD fps = 30, rounded = frames + format->rate / fps - 1;
        time->u.smpte.fps = (BYTE)fps;
        time->u.smpte.frame = (BYTE)((rounded % format->rate) * fps / format->rate);
        DWORD seconds = rounded / format->rate;
        time->u.smpte.sec = (BYTE)(seconds % 60);
        time->u.smpte.min = (BYTE)(seconds / 60 % 60);
        time->u.smpte.hour = (BYTE)(seconds / 3600);
        break;
    }
    default:
        time->wType = TIME_BYTES;
        time->u.cb = (DWORD)(frames * format->block_align);
    }
}

static MMRESULT WINAPI NOINLINE open_waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt) {
    if (!pmmt || cbmmt != sizeof(MMTIME))
        return MMSYSERR_INVALPARAM;
    opens_lock();
    wave_open *o = opens_find(hwo);
    UINT64 bytes = o ? open_position(o) : 0;
    pcm_format format = o ? o->in : pcm_format();
    opens_unlock();
    if (!o)
        return MMSYSERR_INVALHANDLE;
    position_as(pmmt, bytes, &format);
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI dropin_waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutGetPosition(hwo, pmmt, cbmmt);
    return open_waveOutGetPosition(hwo, pmmt, cbmmt);
}

// Volume: a handle of the drop-in's is that open's own, applied in the mix; a
// device id is the platform's.
static MMRESULT WINAPI NOINLINE open_waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume) {
    if (!pdwVolume)
        return MMSYSERR_INVALPARAM;
    opens_lock();
    wave_open *o = opens_find(hwo);
    if (o)
        *pdwVolume = o->volume;
    opens_unlock();
    return o ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

extern "C" MMRESULT WINAPI dropin_waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutGetVolume(hwo, pdwVolume);
    return open_waveOutGetVolume(hwo, pdwVolume);
}

static MMRESULT WINAPI NOINLINE open_waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume) {
    opens_lock();
    wave_open *o = opens_find(hwo);
    if (o)
        o->volume = dwVolume;
    opens_unlock();
    return o ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

extern "C" MMRESULT WINAPI dropin_waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutSetVolume(hwo, dwVolume);
    return open_waveOutSetVolume(hwo, dwVolume);
}

// The real device's handle behind an open, for the calls the platform answers.
static MMRESULT real_handle(HWAVEOUT hwo, HWAVEOUT *real) {
    opens_lock();
    wave_open *o = opens_find(hwo);
    if (o)
        *real = o->device->real;
    opens_unlock();
    return o ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

// Pitch and playback rate: read as the platform answers for the real device.
// Setting them would change every open of it, so an open cannot have them,
// as on a device without WAVECAPS_PITCH or WAVECAPS_PLAYBACKRATE.
extern "C" MMRESULT WINAPI dropin_waveOutGetPitch(HWAVEOUT hwo, LPDWORD pdwPitch) {
    HWAVEOUT real = hwo;
    MMRESULT result = handle_in_range((UINT_PTR)hwo) ? real_handle(hwo, &real) : MMSYSERR_NOERROR;
    return result == MMSYSERR_NOERROR ? wm_real_waveOutGetPitch(real, pdwPitch) : result;
}

extern "C" MMRESULT WINAPI dropin_waveOutGetPlaybackRate(HWAVEOUT hwo, LPDWORD pdwRate) {
    HWAVEOUT real = hwo;
    MMRESULT result = handle_in_range((UINT_PTR)hwo) ? real_handle(hwo, &real) : MMSYSERR_NOERROR;
    return result == MMSYSERR_NOERROR ? wm_real_waveOutGetPlaybackRate(real, pdwRate) : result;
}

static MMRESULT WINAPI NOINLINE open_waveOutSetPitch(HWAVEOUT hwo, DWORD) {
    HWAVEOUT real;
    MMRESULT result = real_handle(hwo, &real);
    return result == MMSYSERR_NOERROR ? MMSYSERR_NOTSUPPORTED : result;
}

extern "C" MMRESULT WINAPI dropin_waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutSetPitch(hwo, dwPitch);
    return open_waveOutSetPitch(hwo, dwPitch);
}

static MMRESULT WINAPI NOINLINE open_waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD) {
    HWAVEOUT real;
    MMRESULT result = real_handle(hwo, &real);
    return result == MMSYSERR_NOERROR ? MMSYSERR_NOTSUPPORTED : result;
}

extern "C" MMRESULT WINAPI dropin_waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutSetPlaybackRate(hwo, dwRate);
    return open_waveOutSetPlaybackRate(hwo, dwRate);
}

// The device id, messages and capabilities: the platform's answer for the
// real device the open plays through.
extern "C" MMRESULT WINAPI dropin_waveOutGetID(HWAVEOUT hwo, LPUINT puDeviceID) {
    HWAVEOUT real = hwo;
    MMRESULT result = handle_in_range((UINT_PTR)hwo) ? real_handle(hwo, &real) : MMSYSERR_NOERROR;
    return result == MMSYSERR_NOERROR ? wm_real_waveOutGetID(real, puDeviceID) : result;
}

extern "C" MMRESULT WINAPI dropin_waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1,
                                                 DWORD_PTR dw2) {
    HWAVEOUT real = hwo;
    MMRESULT result = handle_in_range((UINT_PTR)hwo) ? real_handle(hwo, &real) : MMSYSERR_NOERROR;
    return result == MMSYSERR_NOERROR ? wm_real_waveOutMessage(real, uMsg, dw1, dw2) : result;
}

extern "C" MMRESULT WINAPI dropin_waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc,
                                                     UINT cbwoc) {
    HWAVEOUT real = (HWAVEOUT)uDeviceID;
    MMRESULT result = handle_in_range(uDeviceID) ? real_handle(real, &real) : MMSYSERR_NOERROR;
    return result == MMSYSERR_NOERROR ? wm_real_waveOutGetDevCapsA((UINT_PTR)real, pwoc, cbwoc)
                                      : result;
}

extern "C" MMRESULT WINAPI dropin_waveOutGetDevCapsW(UINT_PTR uDeviceID, LPWAVEOUTCAPSW pwoc,
                                                     UINT cbwoc) {
    HWAVEOUT real = (HWAVEOUT)uDeviceID;
    MMRESULT result = handle_in_range(uDeviceID) ? real_handle(real, &real) : MMSYSERR_NOERROR;
    return result == MMSYSERR_NOERROR ? wm_real_waveOutGetDevCapsW((UINT_PTR)real, pwoc, cbwoc)
                                      : result;
}
