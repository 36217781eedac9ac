// The waveOut functions that ask or set an open's state: position, volume,
// pitch, playback rate, its device id, messages and capabilities. As in
// wave_calls.cpp, a handle outside the drop-in's range goes to the system's
// function unchanged; one of the drop-in's is answered for that open alone.

#include "device.h"
#include "mixer.h"
#include "real_winmm.h"

#define NOINLINE __attribute__((noinline)) // see wave_calls.cpp

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

// Setting the pitch or the playback rate: MMSYSERR_NOTSUPPORTED for a live open.
static MMRESULT WINAPI NOINLINE open_not_supported(HWAVEOUT hwo) {
    HWAVEOUT real;
    MMRESULT result = real_handle(hwo, &real);
    return result == MMSYSERR_NOERROR ? MMSYSERR_NOTSUPPORTED : result;
}

extern "C" MMRESULT WINAPI dropin_waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutSetPitch(hwo, dwPitch);
    return open_not_supported(hwo);
}

extern "C" MMRESULT WINAPI dropin_waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutSetPlaybackRate(hwo, dwRate);
    return open_not_supported(hwo);
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
