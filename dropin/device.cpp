// Opens and closes the real devices. A device is opened on the program's
// first open of its id, in a format chosen for mixing, with CALLBACK_EVENT:
// the platform only sets an event, and the mixer runs on the drop-in's own
// thread, never inside a platform callback. After its last close it stays
// open for linger_ms, so a program that closes and reopens between levels
// never waits for the platform, and then its thread closes it.

#define __USE_MINGW_ANSI_STDIO 0
#include "device.h"

#include <mmreg.h>

#include <stdio.h>
#include <string.h>

#include "formats.h"
#include "real_winmm.h"
#include "settings.h"

// ---- module state ----------------------------------------------------------------
static wave_device *devices;       // open devices, under the opens' lock
static CRITICAL_SECTION open_lock; // held while a real device is opened or closed
// -----------------------------------------------------------------------------------

void devices_init() {
    InitializeCriticalSection(&open_lock);
}

static wave_device *find_device(UINT id) {
    for (wave_device *d = devices; d; d = d->next) {
        if (d->id == id)
            return d;
    }
    return NULL;
}

static void pcm_record(unsigned char *record, DWORD rate) {
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, rate, rate * 4, 4, 16, 0};
    memset(record, 0, mix_format_bytes);
    memcpy(record, &format, sizeof format);
}

static bool platform_accepts(UINT id, const unsigned char *record) {
    return wm_real_waveOutOpen(NULL, id, (LPCWAVEFORMATEX)record, 0, 0, WAVE_FORMAT_QUERY) ==
           MMSYSERR_NOERROR;
}

// The best the platform accepts of 16-bit stereo at 48000 and 44100 Hz, else
// the first open's own format.
static void choose_format(UINT id, const unsigned char *first, unsigned char *record) {
    static const DWORD rates[] = {48000, 44100};
    for (DWORD rate : rates) {
        pcm_record(record, rate);
        if (platform_accepts(id, record))
            return;
    }
    memset(record, 0, mix_format_bytes);
    const WAVEFORMATEX *format = (const WAVEFORMATEX *)first;
    size_t size = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE ? (size_t)mix_format_bytes
                  : format->wFormatTag == WAVE_FORMAT_PCM      ? sizeof(PCMWAVEFORMAT)
                                                               : sizeof(WAVEFORMATEX);
    memcpy(record, first, size);
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        ((WAVEFORMATEX *)record)->cbSize = 0;
}

static void device_free(wave_device *d) {
    while (d->templates) {
        stream_template *t = d->templates;
        d->templates = t->next;
        HeapFree(GetProcessHeap(), 0, t);
    }
    if (d->event)
        CloseHandle(d->event);
    if (d->blocks[0].lpData)
        HeapFree(GetProcessHeap(), 0, d->blocks[0].lpData);
    if (d->mix)
        HeapFree(GetProcessHeap(), 0, d->mix);
    HeapFree(GetProcessHeap(), 0, d);
}

static const char *device_name(UINT id, char *text, size_t size) {
    if (id == WAVE_MAPPER)
        return "the wave mapper";
    _snprintf(text, size - 1, "device %u", id);
    text[size - 1] = 0;
    return text;
}

// Opens the real device for `id` and starts its thread: the blocks and the
// mixing buffer are taken now, never while mixing.
static MMRESULT device_open(UINT id, const unsigned char *first, wave_device **out) {
    wave_device *d = (wave_device *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *d);
    if (!d)
        return MMSYSERR_NOMEM;
    d->id = id;
    choose_format(id, first, d->format_record);
    pcm_format_read(d->format_record, &d->format);
    d->block_frames = d->format.rate * block_ms / 1000;
    if (d->block_frames == 0)
        d->block_frames = 1;
    DWORD block_bytes = d->block_frames * d->format.block_align;
    d->event = CreateEventW(NULL, FALSE, FALSE, NULL);
    BYTE *data = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, block_bytes * device_blocks);
    d->mix = (float *)HeapAlloc(GetProcessHeap(), 0,
                                sizeof(float) * d->block_frames * d->format.channels);
    if (!d->event || !data || !d->mix) {
        if (data)
            HeapFree(GetProcessHeap(), 0, data);
        device_free(d);
        return MMSYSERR_NOMEM;
    }
    for (int i = 0; i < device_blocks; i++) {
        d->blocks[i].lpData = (LPSTR)data + i * block_bytes;
        d->blocks[i].dwBufferLength = block_bytes;
    }
    MMRESULT result = wm_real_waveOutOpen(&d->real, id, (LPCWAVEFORMATEX)d->format_record,
                                          (DWORD_PTR)d->event, 0, CALLBACK_EVENT);
    char name[32], format[64];
    format_describe((const WAVEFORMATEX *)d->format_record, format, sizeof format);
    if (result != MMSYSERR_NOERROR) {
        write_debug_log("%s cannot be opened for %s: error %u\n",
                        device_name(id, name, sizeof name), format, result);
        device_free(d);
        return result;
    }
    for (int i = 0; i < device_blocks && result == MMSYSERR_NOERROR; i++)
        result = wm_real_waveOutPrepareHeader(d->real, &d->blocks[i], sizeof(WAVEHDR));
    // The thread holds a reference to this module, so that a program that
    // frees winmm while a device lingers does not pull its code away.
    HMODULE self = NULL;
    HANDLE thread = NULL;
    if (result == MMSYSERR_NOERROR && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                                         (LPCWSTR)(void *)&device_thread, &self)) {
        thread = CreateThread(NULL, 0, device_thread, d, 0, NULL);
        if (!thread) {
            FreeLibrary(self);
            result = MMSYSERR_NOMEM;
        }
    } else if (result == MMSYSERR_NOERROR) {
        result = MMSYSERR_ERROR;
    }
    if (result != MMSYSERR_NOERROR) {
        device_close_real(d);
        device_free(d);
        return result;
    }
    CloseHandle(thread);
    // The first open waits for the platform anyway: records for the next few
    // opens are made now.
    opens_keep_spares(spare_opens);
    write_debug_log("%s opened for %s: %p\n", device_name(id, name, sizeof name), format,
                    (void *)d->real);
    *out = d;
    return MMSYSERR_NOERROR;
}

MMRESULT device_ensure(UINT id, const unsigned char *first, wave_device **out) {
    // A device being closed by its thread is out of the list, and its thread
    // holds open_lock until the platform has it back.
    EnterCriticalSection(&open_lock);
    opens_lock();
    wave_device *d = find_device(id);
    if (d)
        d->open_count++;
    opens_unlock();
    MMRESULT result = d ? MMSYSERR_NOERROR : device_open(id, first, &d);
    if (result == MMSYSERR_NOERROR) {
        opens_lock();
        if (d->open_count == 0) {
            d->open_count = 1;
            d->next = devices;
            devices = d;
        }
        opens_unlock();
        *out = d;
    }
    LeaveCriticalSection(&open_lock);
    return result;
}

void device_release(wave_device *d) {
    if (--d->open_count == 0) {
        d->idle_since = GetTickCount();
        device_wake(d);
    }
}

void device_close_real(wave_device *d) {
    wm_real_waveOutReset(d->real);
    for (int i = 0; i < device_blocks; i++) {
        if (d->blocks[i].dwFlags & WHDR_PREPARED)
            wm_real_waveOutUnprepareHeader(d->real, &d->blocks[i], sizeof(WAVEHDR));
    }
    wm_real_waveOutClose(d->real);
}

bool device_retire(wave_device *d) {
    EnterCriticalSection(&open_lock);
    opens_lock();
    bool idle = d->open_count == 0;
    if (idle) {
        wave_device **link = &devices;
        while (*link != d)
            link = &(*link)->next;
        *link = d->next;
    }
    opens_unlock();
    if (idle) {
        device_close_real(d);
        char name[32];
        write_debug_log("%s closed: no open for %u ms; it ran out of blocks %ld times\n",
                        device_name(d->id, name, sizeof name), (unsigned)linger_ms,
                        (long)d->starved);
        device_free(d);
    }
    LeaveCriticalSection(&open_lock);
    return idle;
}
