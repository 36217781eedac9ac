// The stand-in's calls on an open besides the queue itself, and those that
// name the device: pause, reset, loops, position, volume, capabilities.

#include "one_open.h"

static DWORD device_volume = 0xffffffff;

static MMRESULT with_device(HWAVEOUT h, void (*act)(open_device *)) {
    open_device *d = device_of(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    EnterCriticalSection(&d->lock);
    act(d);
    LeaveCriticalSection(&d->lock);
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutPause(HWAVEOUT h) {
    return with_device(h, [](open_device *d) { d->paused = true; });
}

EXPORT MMRESULT WINAPI waveOutRestart(HWAVEOUT h) {
    return with_device(h, [](open_device *d) { d->paused = false; });
}

EXPORT MMRESULT WINAPI waveOutBreakLoop(HWAVEOUT h) {
    return with_device(h, [](open_device *d) { d->loops_left = 0; });
}

// Every queued buffer comes back done, and the position starts again at 0.
EXPORT MMRESULT WINAPI waveOutReset(HWAVEOUT h) {
    open_device *d = device_of(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    EnterCriticalSection(&d->lock);
    WAVEHDR *queue = d->queue;
    d->queue = NULL;
    d->offset = d->played = 0;
    LeaveCriticalSection(&d->lock);
    while (queue) {
        WAVEHDR *next = queue->lpNext;
        queue->dwFlags = (queue->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        notify(d, WOM_DONE, (DWORD_PTR)queue);
        queue = next;
    }
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutGetPosition(HWAVEOUT h, LPMMTIME time, UINT size) {
    open_device *d = device_of(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!time || size < sizeof(MMTIME))
        return MMSYSERR_INVALPARAM;
    DWORD bytes = d->played;
    if (time->wType == TIME_SAMPLES)
        time->u.sample = bytes / d->format.nBlockAlign;
    else if (time->wType == TIME_MS)
        time->u.ms = (DWORD)((ULONGLONG)bytes * 1000 / d->format.nAvgBytesPerSec);
    else {
        time->wType = TIME_BYTES;
        time->u.cb = bytes;
    }
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutGetVolume(HWAVEOUT h, LPDWORD volume) {
    open_device *d = device_of(h);
    if (!volume)
        return MMSYSERR_INVALPARAM;
    if (!d && (UINT_PTR)h != 0)
        return MMSYSERR_INVALHANDLE;
    *volume = d ? d->volume : device_volume;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutSetVolume(HWAVEOUT h, DWORD volume) {
    open_device *d = device_of(h);
    if (!d && (UINT_PTR)h != 0)
        return MMSYSERR_INVALHANDLE;
    (d ? d->volume : device_volume) = volume;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutGetID(HWAVEOUT h, LPUINT id) {
    if (!device_of(h))
        return MMSYSERR_INVALHANDLE;
    if (!id)
        return MMSYSERR_INVALPARAM;
    *id = 0;
    return MMSYSERR_NOERROR;
}

EXPORT UINT WINAPI waveOutGetNumDevs(void) {
    return 1;
}

template <class CAPS> static MMRESULT caps_of(UINT_PTR id, CAPS *caps, UINT size) {
    if (id != 0 && id != WAVE_MAPPER && !device_of((HWAVEOUT)id))
        return MMSYSERR_BADDEVICEID;
    if (!caps || size < sizeof *caps)
        return MMSYSERR_INVALPARAM;
    *caps = {};
    caps->wMid = 1; // Microsoft
    caps->vDriverVersion = 0x0100;
    for (int i = 0; i < 15; i++)
        caps->szPname[i] = "One-open device"[i];
    caps->dwFormats = WAVE_FORMAT_4S16 | WAVE_FORMAT_4M16 | WAVE_FORMAT_2S16 | WAVE_FORMAT_1M08;
    caps->wChannels = 2;
    caps->dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutGetDevCapsA(UINT_PTR id, LPWAVEOUTCAPSA caps, UINT size) {
    return caps_of(id, caps, size);
}

EXPORT MMRESULT WINAPI waveOutGetDevCapsW(UINT_PTR id, LPWAVEOUTCAPSW caps, UINT size) {
    return caps_of(id, caps, size);
}

EXPORT MMRESULT WINAPI waveOutGetPitch(HWAVEOUT h, LPDWORD) {
    return device_of(h) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

EXPORT MMRESULT WINAPI waveOutSetPitch(HWAVEOUT h, DWORD) {
    return device_of(h) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

EXPORT MMRESULT WINAPI waveOutGetPlaybackRate(HWAVEOUT h, LPDWORD) {
    return device_of(h) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

EXPORT MMRESULT WINAPI waveOutSetPlaybackRate(HWAVEOUT h, DWORD) {
    return device_of(h) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

EXPORT MMRESULT WINAPI waveOutMessage(HWAVEOUT h, UINT, DWORD_PTR, DWORD_PTR) {
    return device_of(h) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

EXPORT MMRESULT WINAPI waveOutGetErrorTextA(MMRESULT, LPSTR text, UINT size) {
    if (text && size)
        text[0] = 0;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutGetErrorTextW(MMRESULT, LPWSTR text, UINT size) {
    if (text && size)
        text[0] = 0;
    return MMSYSERR_NOERROR;
}

EXPORT DWORD WINAPI timeGetTime(void) {
    return GetTickCount();
}

EXPORT MMRESULT WINAPI timeBeginPeriod(UINT) {
    return TIMERR_NOERROR;
}

EXPORT MMRESULT WINAPI timeEndPeriod(UINT) {
    return TIMERR_NOERROR;
}
