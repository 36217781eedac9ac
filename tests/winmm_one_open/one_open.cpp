// A stand-in system winmm for a platform with one wave output device that
// allows one open at a time: while one open lives, another fails with
// MMSYSERR_ALLOCATED. one_open.sh makes it the system's winmm.dll of a Wine
// prefix of its own, so that the drop-in, which loads the system's winmm by
// its path, sits on top of it.
//
// The device plays in real time without sound: a thread per open takes the
// queued buffers, waits as long as each lasts and returns it with WOM_DONE.
// With SNDLATCH_ONE_OPEN_CAPTURE naming a folder, each open writes what it
// plays to a WAV file there, named by the time it opened.

#include "one_open.h"

#include <stdio.h>

open_device *volatile live;

// Delivers a notification as the platform's DriverCallback does: a function
// is called, an event set, a message posted to a window or a thread.
EXPORT BOOL WINAPI DriverCallback(DWORD_PTR target, DWORD flags, HDRVR device, DWORD message,
                                  DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    switch (flags & DCB_TYPEMASK) {
    case DCB_FUNCTION:
        ((LPDRVCALLBACK)target)(device, message, instance, p1, p2);
        return TRUE;
    case DCB_EVENT:
        return SetEvent((HANDLE)target);
    case DCB_WINDOW:
        return PostMessageA((HWND)target, message, (WPARAM)device, (LPARAM)p1);
    case DCB_TASK:
        return PostThreadMessageA((DWORD)target, message, (WPARAM)device, (LPARAM)p1);
    }
    return FALSE;
}

void notify(open_device *d, UINT message, DWORD_PTR p1) {
    // waveOutOpen's CALLBACK_* kind, by its high word, as a DCB_* kind.
    static const DWORD kinds[] = {DCB_NULL,     DCB_WINDOW, DCB_TASK,
                                  DCB_FUNCTION, DCB_NULL,   DCB_EVENT};
    DWORD kind = (d->flags & CALLBACK_TYPEMASK) >> 16;
    if (kind < 6 && kinds[kind] != DCB_NULL)
        DriverCallback(d->target, kinds[kind], (HDRVR)d, message, d->instance, p1, 0);
}

open_device *device_of(HWAVEOUT h) {
    open_device *d = live;
    return h && (open_device *)h == d ? d : NULL;
}

static void capture_write(open_device *d, const void *data, DWORD bytes) {
    DWORD written = 0;
    if (d->capture != INVALID_HANDLE_VALUE && WriteFile(d->capture, data, bytes, &written, NULL))
        d->captured += written;
}

// Takes the head off the queue once it has played; returns it, or NULL.
static WAVEHDR *advance(open_device *d, DWORD bytes) {
    WAVEHDR *h = d->queue;
    DWORD left = h->dwBufferLength - d->offset, n = bytes < left ? bytes : left;
    capture_write(d, h->lpData + d->offset, n);
    d->offset += n;
    d->played += n;
    if (d->offset < h->dwBufferLength)
        return NULL;
    d->offset = 0;
    if ((h->dwFlags & WHDR_BEGINLOOP) && (h->dwFlags & WHDR_ENDLOOP) && d->loops_left > 1) {
        d->loops_left--;
        return NULL;
    }
    d->queue = h->lpNext;
    d->loops_left = d->queue ? d->queue->dwLoops : 0;
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    return h;
}

static DWORD WINAPI play(void *arg) {
    open_device *d = (open_device *)arg;
    const DWORD step_ms = 10;
    DWORD step =
        d->format.nAvgBytesPerSec * step_ms / 1000 / d->format.nBlockAlign * d->format.nBlockAlign;
    for (;;) {
        Sleep(step_ms);
        EnterCriticalSection(&d->lock);
        if (d->stop) {
            LeaveCriticalSection(&d->lock);
            return 0;
        }
        WAVEHDR *done =
            d->queue && !d->paused ? advance(d, step ? step : d->format.nBlockAlign) : NULL;
        LeaveCriticalSection(&d->lock);
        if (done)
            notify(d, WOM_DONE, (DWORD_PTR)done);
    }
}

static HANDLE open_capture(const WAVEFORMATEX *f) {
    char folder[MAX_PATH], path[MAX_PATH + 64];
    DWORD n = GetEnvironmentVariableA("SNDLATCH_ONE_OPEN_CAPTURE", folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return INVALID_HANDLE_VALUE;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    snprintf(path, sizeof path, "%s\\track-%019lld.wav", folder, (long long)now.QuadPart);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    // A RIFF header with the sizes left 0, filled in at the close.
    DWORD header[11] = {0x46464952, 0, 0x45564157, 0x20746d66, 16, 0, 0, 0, 0, 0x61746164, 0};
    memcpy(&header[5], f, 16);
    DWORD written;
    if (file != INVALID_HANDLE_VALUE)
        WriteFile(file, header, sizeof header, &written, NULL);
    return file;
}

static bool playable(const WAVEFORMATEX *f) {
    return f && f->wFormatTag == WAVE_FORMAT_PCM && f->nChannels >= 1 && f->nChannels <= 2 &&
           (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) && f->nSamplesPerSec >= 1000 &&
           f->nSamplesPerSec <= 192000 && f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8;
}

EXPORT MMRESULT WINAPI waveOutOpen(LPHWAVEOUT out, UINT id, LPCWAVEFORMATEX f, DWORD_PTR target,
                                   DWORD_PTR instance, DWORD flags) {
    if (id != 0 && id != WAVE_MAPPER)
        return MMSYSERR_BADDEVICEID;
    if (!playable(f))
        return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    if (!out)
        return MMSYSERR_INVALPARAM;
    open_device *d = (open_device *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *d);
    if (InterlockedCompareExchangePointer((PVOID volatile *)&live, d, NULL) != NULL) {
        HeapFree(GetProcessHeap(), 0, d);
        return MMSYSERR_ALLOCATED;
    }
    InitializeCriticalSection(&d->lock);
    d->format = *f;
    d->format.cbSize = 0;
    d->target = target;
    d->instance = instance;
    d->flags = flags;
    d->volume = 0xffffffff;
    d->capture = open_capture(f);
    d->thread = CreateThread(NULL, 0, play, d, 0, NULL);
    *out = (HWAVEOUT)d;
    notify(d, WOM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutClose(HWAVEOUT h) {
    open_device *d = device_of(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (d->queue)
        return WAVERR_STILLPLAYING;
    EnterCriticalSection(&d->lock);
    d->stop = true;
    LeaveCriticalSection(&d->lock);
    WaitForSingleObject(d->thread, INFINITE);
    CloseHandle(d->thread);
    if (d->capture != INVALID_HANDLE_VALUE) {
        DWORD sizes[2] = {36 + d->captured, d->captured}, written;
        SetFilePointer(d->capture, 4, NULL, FILE_BEGIN);
        WriteFile(d->capture, &sizes[0], 4, &written, NULL);
        SetFilePointer(d->capture, 40, NULL, FILE_BEGIN);
        WriteFile(d->capture, &sizes[1], 4, &written, NULL);
        CloseHandle(d->capture);
    }
    live = NULL;
    notify(d, WOM_CLOSE, 0);
    DeleteCriticalSection(&d->lock);
    HeapFree(GetProcessHeap(), 0, d);
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT h, LPWAVEHDR header, UINT size) {
    if (!device_of(h))
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & (WHDR_BEGINLOOP | WHDR_ENDLOOP)) | WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT h, LPWAVEHDR header, UINT size) {
    if (!device_of(h))
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

EXPORT MMRESULT WINAPI waveOutWrite(HWAVEOUT h, LPWAVEHDR header, UINT size) {
    open_device *d = device_of(h);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    EnterCriticalSection(&d->lock);
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->lpNext = NULL;
    WAVEHDR **tail = &d->queue;
    while (*tail)
        tail = &(*tail)->lpNext;
    *tail = header;
    if (d->queue == header)
        d->loops_left = header->dwLoops;
    LeaveCriticalSection(&d->lock);
    return MMSYSERR_NOERROR;
}
