// One open of the wave output device as the opens tests drive it: its
// handle, its buffers of a tone, and what its notifications told it. The
// tests use only WINMM, so that each runs against the platform's winmm and
// against the drop-in alike.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <math.h>
#include <stdio.h>

enum { max_buffers = 8 };

// A fault on any thread, such as a notification sent into a module already
// unloaded, ends the program with a failure. Left to Wine, a fault on its
// notification thread may end the process with exit code 0.
static LONG WINAPI fail_on_fault(EXCEPTION_POINTERS *e) {
    fprintf(stderr, "fault %08lx at %p on thread %lu\n", e->ExceptionRecord->ExceptionCode,
            e->ExceptionRecord->ExceptionAddress, GetCurrentThreadId());
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
static const bool fault_filter_set = (SetUnhandledExceptionFilter(fail_on_fault), true);

struct wave_open {
    HWAVEOUT handle;
    WAVEFORMATEX format;
    WAVEHDR headers[max_buffers];
    char *data[max_buffers];
    DWORD bytes; // of each buffer
    // What its callback got: WOM_OPEN, WOM_DONE of its own headers and of
    // any other, WOM_CLOSE, and the handle of a message that named another.
    volatile LONG opened, done, foreign_done, closed, wrong_handle;
    volatile DWORD last_done_tick;
};

inline WAVEFORMATEX pcm_format(DWORD rate, WORD bits, WORD channels) {
    WORD align = (WORD)(bits / 8 * channels);
    return {WAVE_FORMAT_PCM, channels, rate, rate * align, align, bits, 0};
}

// Counts a notification into the open its instance names.
inline void count_notification(wave_open *w, HWAVEOUT handle, UINT message, DWORD_PTR header) {
    if (message == WOM_OPEN) {
        InterlockedIncrement(&w->opened);
        return;
    }
    if (handle && w->handle && handle != w->handle)
        InterlockedIncrement(&w->wrong_handle);
    if (message == WOM_CLOSE) {
        InterlockedIncrement(&w->closed);
    } else if (message == WOM_DONE) {
        const WAVEHDR *h = (const WAVEHDR *)header;
        bool own = h >= w->headers && h < w->headers + max_buffers;
        InterlockedIncrement(own ? &w->done : &w->foreign_done);
        w->last_done_tick = GetTickCount();
    }
}

inline void CALLBACK on_wave_message(HWAVEOUT handle, UINT message, DWORD_PTR instance,
                                     DWORD_PTR header, DWORD_PTR) {
    count_notification((wave_open *)instance, handle, message, header);
}

// `w`'s buffers hold `ms` milliseconds each of a sine of `hz` at a quarter of
// full scale, in `format` (8 or 16-bit PCM).
inline void make_buffers(wave_open *w, const WAVEFORMATEX &format, DWORD ms, double hz) {
    w->format = format;
    DWORD frames = format.nSamplesPerSec * ms / 1000;
    w->bytes = frames * format.nBlockAlign;
    for (int i = 0; i < max_buffers; i++) {
        w->data[i] = (char *)HeapAlloc(GetProcessHeap(), 0, w->bytes);
        for (DWORD f = 0; f < frames; f++) {
            double v =
                0.25 * sin(2 * 3.14159265358979 * hz * (i * frames + f) / format.nSamplesPerSec);
            for (WORD c = 0; c < format.nChannels; c++) {
                if (format.wBitsPerSample == 8)
                    w->data[i][f * format.nChannels + c] = (char)(128 + (int)(v * 127));
                else
                    ((short *)w->data[i])[f * format.nChannels + c] = (short)(v * 32767);
            }
        }
    }
}

inline MMRESULT open_with(wave_open *w, DWORD_PTR target, DWORD_PTR instance, DWORD flags) {
    w->handle = NULL;
    return waveOutOpen(&w->handle, WAVE_MAPPER, &w->format, target, instance, flags);
}

inline MMRESULT open_function(wave_open *w) {
    return open_with(w, (DWORD_PTR)on_wave_message, (DWORD_PTR)w, CALLBACK_FUNCTION);
}

// Prepares buffer `i`, with `flags` (loop flags) and `loops`.
inline MMRESULT prepare_buffer(wave_open *w, int i, DWORD flags = 0, DWORD loops = 0) {
    WAVEHDR *h = &w->headers[i];
    *h = {};
    h->lpData = w->data[i];
    h->dwBufferLength = w->bytes;
    h->dwFlags = flags;
    h->dwLoops = loops;
    return waveOutPrepareHeader(w->handle, h, sizeof *h);
}

// Prepares and writes buffer `i`.
inline MMRESULT write_buffer(wave_open *w, int i, DWORD flags = 0, DWORD loops = 0) {
    MMRESULT r = prepare_buffer(w, i, flags, loops);
    return r != MMSYSERR_NOERROR ? r : waveOutWrite(w->handle, &w->headers[i], sizeof(WAVEHDR));
}

inline bool buffer_done(const wave_open *w, int i) {
    return (w->headers[i].dwFlags & WHDR_DONE) != 0;
}

inline void unprepare_all(wave_open *w) {
    for (WAVEHDR &h : w->headers) {
        if (h.dwFlags & WHDR_PREPARED)
            waveOutUnprepareHeader(w->handle, &h, sizeof h);
    }
}

// Waits up to `ms` for `done()`, pumping this thread's messages; true when it came.
template <class F> bool wait_until(F done, DWORD ms = 10000) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        if (done())
            return true;
        if (GetTickCount() - start > ms)
            return false;
        Sleep(5);
    }
}

// The open's position in `type` units, or ~0 when the call fails. A type the
// platform does not keep (Wine keeps no TIME_MS) is answered in another:
// `answered` gets that type.
inline DWORD position(const wave_open *w, UINT type, UINT *answered = NULL) {
    MMTIME t = {};
    t.wType = type;
    if (waveOutGetPosition(w->handle, &t, sizeof t) != MMSYSERR_NOERROR)
        return ~0u;
    if (answered)
        *answered = t.wType;
    return t.wType == TIME_BYTES ? t.u.cb : t.wType == TIME_SAMPLES ? t.u.sample : t.u.ms;
}
