// waveOutOpen and waveOutClose. An open from a program module in a format
// the mixer plays is a device of its own: the platform is asked once whether
// it would accept that format on that device id, and the open then plays
// through the drop-in's real device for the id. Everything else, and every
// open from a platform module, goes to the system's waveOutOpen untouched:
// the handle it gets is the platform's, and every call about it passes on.

#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <mmreg.h>

#include "caller_scope.h"
#include "device.h"
#include "formats.h"
#include "mixer.h"
#include "real_winmm.h"
#include "settings.h"

// The platform's answer to a format query, kept from the first open that asked.
struct format_answer {
    format_answer *next;
    UINT id;
    DWORD flags; // the open's flags that the platform's answer may depend on
    unsigned char record[mix_format_bytes];
    MMRESULT result;
};

// ---- module state ----------------------------------------------------------------
static format_answer *answers; // under the opens' lock; only ever grows
// -----------------------------------------------------------------------------------

// The bytes of the format record that count: PCMWAVEFORMAT for PCM, whose
// cbSize the platform ignores, the whole WAVEFORMATEXTENSIBLE for it.
static size_t record_size(const WAVEFORMATEX *format) {
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        return sizeof(PCMWAVEFORMAT);
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        return mix_format_bytes;
    return sizeof(WAVEFORMATEX);
}

// The platform's answer to WAVE_FORMAT_QUERY for this device id and format,
// asked once; later opens cost no platform call. A device that is busy (held
// by the drop-in itself where the platform allows one open) is no refusal of
// the format, and that answer is not kept.
static MMRESULT query_platform(UINT id, const WAVEFORMATEX *format, DWORD open_flags) {
    DWORD flags = (open_flags & ~CALLBACK_TYPEMASK) | WAVE_FORMAT_QUERY;
    unsigned char record[mix_format_bytes] = {};
    memcpy(record, format, record_size(format));
    opens_lock();
    for (format_answer *a = answers; a; a = a->next) {
        if (a->id == id && a->flags == flags && memcmp(a->record, record, sizeof record) == 0) {
            MMRESULT result = a->result;
            opens_unlock();
            return result;
        }
    }
    opens_unlock();
    MMRESULT result = wm_real_waveOutOpen(NULL, id, format, 0, 0, flags);
    if (result == MMSYSERR_ALLOCATED)
        return MMSYSERR_NOERROR;
    format_answer *a = (format_answer *)HeapAlloc(GetProcessHeap(), 0, sizeof *a);
    if (a) {
        a->id = id;
        a->flags = flags;
        memcpy(a->record, record, sizeof record);
        a->result = result;
        opens_lock();
        a->next = answers;
        answers = a;
        opens_unlock();
    }
    return result;
}

// The platform refuses a window target that is not a window. A process
// without user32 has no windows.
static bool is_window(DWORD_PTR window) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    typedef BOOL(WINAPI * is_window_fn)(HWND);
    is_window_fn fn = user32 ? (is_window_fn)(void (*)())GetProcAddress(user32, "IsWindow") : NULL;
    return fn && fn((HWND)window);
}

// The file name of the module that holds `code`, for the debug log.
static void module_name(void *code, char *name, DWORD size) {
    HMODULE module = NULL;
    char path[MAX_PATH] = "";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)code, &module))
        GetModuleFileNameA(module, path, MAX_PATH);
    path[MAX_PATH - 1] = 0;
    const char *base = strrchr(path, '\\');
    lstrcpynA(name, base ? base + 1 : path[0] ? path : "code outside every module", size);
}

// "the event 000001A4": where an open's notifications go.
static void describe_target(DWORD_PTR callback, DWORD_PTR instance, DWORD flags, char *text,
                            size_t size) {
    // msvcrt's _snprintf leaves a text that fills the buffer unterminated.
    switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
        _snprintf(text, size - 1, "none (CALLBACK_NULL)");
        break;
    case CALLBACK_FUNCTION:
        _snprintf(text, size - 1, "the function %p with instance %p", (void *)callback,
                  (void *)instance);
        break;
    case CALLBACK_EVENT:
        _snprintf(text, size - 1, "the event %p", (void *)callback);
        break;
    case CALLBACK_WINDOW:
        _snprintf(text, size - 1, "the window %p", (void *)callback);
        break;
    case CALLBACK_THREAD:
        _snprintf(text, size - 1, "the thread %lu", (unsigned long)callback);
        break;
    default:
        _snprintf(text, size - 1, "the unknown kind 0x%lx", (unsigned long)flags);
    }
    text[size - 1] = 0;
}

static void log_open(const open_target *o, UINT id, DWORD flags, const WAVEFORMATEX *format,
                     void *caller) {
    if (!debug_log_setting)
        return;
    char name[MAX_PATH], played[64], target[96], device[24] = "the wave mapper";
    module_name(caller, name, MAX_PATH);
    format_describe(format, played, sizeof played);
    describe_target(o->callback, o->instance, flags, target, sizeof target);
    if (id != WAVE_MAPPER)
        _snprintf(device, sizeof device - 1, "device %u", id);
    write_debug_log("open %p from %s: %s on %s, notifications to %s\n", (void *)o->handle, name,
                    played, device, target);
}

static bool same_format(const pcm_format *a, const pcm_format *b) {
    return a->rate == b->rate && a->channels == b->channels && a->bits == b->bits &&
           a->block_align == b->block_align && a->is_float == b->is_float;
}

// Prepares the open's stream from the device's template for its format,
// made by the first open of that format: designing a resampling filter
// costs far more than an open may.
static void prepare_stream(wave_open *o, wave_device *d) {
    opens_lock();
    stream_template *t = d->templates;
    while (t && !same_format(&t->stream.in, &o->in))
        t = t->next;
    if (t)
        memcpy(&o->stream, &t->stream, sizeof o->stream);
    opens_unlock();
    if (t)
        return;
    mix_stream_init(&o->stream, &o->in, &d->format);
    t = (stream_template *)HeapAlloc(GetProcessHeap(), 0, sizeof *t);
    if (!t)
        return;
    memcpy(&t->stream, &o->stream, sizeof t->stream);
    opens_lock();
    t->next = d->templates;
    d->templates = t;
    opens_unlock();
}

extern "C" MMRESULT WINAPI dropin_waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                              DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                                              DWORD fdwOpen) {
    void *caller = __builtin_return_address(0);
    pcm_format in;
    if (!caller_may_be_answered(caller) || !phwo || (fdwOpen & WAVE_FORMAT_QUERY) || !pwfx ||
        !pcm_format_read((const unsigned char *)pwfx, &in))
        return wm_real_waveOutOpen(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
    if ((fdwOpen & CALLBACK_TYPEMASK) == CALLBACK_WINDOW && dwCallback && !is_window(dwCallback))
        return MMSYSERR_INVALPARAM;
    MMRESULT result = query_platform(uDeviceID, pwfx, fdwOpen);
    if (result != MMSYSERR_NOERROR)
        return result;

    wave_open *o = open_alloc();
    if (!o)
        return MMSYSERR_NOMEM;
    wave_device *d = NULL;
    unsigned char record[mix_format_bytes] = {};
    memcpy(record, pwfx, record_size(pwfx));
    result = device_ensure(uDeviceID, record, &d);
    if (result != MMSYSERR_NOERROR) {
        open_free(o);
        return result;
    }
    o->device = d;
    o->device_id = uDeviceID;
    o->callback = dwCallback;
    o->instance = dwInstance;
    o->callback_kind = HIWORD(fdwOpen & CALLBACK_TYPEMASK);
    o->open_flags = fdwOpen;
    o->volume = 0xFFFFFFFF;
    o->in = in;
    prepare_stream(o, d);
    o->latency = (DWORD)mix_stream_latency(&o->stream);
    queue_take_all(o);

    // From here on another thread may have the handle and close the open:
    // what is sent and logged below is a copy.
    opens_lock();
    bool added = opens_add(o);
    open_target target = open_target_of(o);
    if (added) {
        o->device_next = d->opens;
        d->opens = o;
    } else {
        device_release(d);
    }
    opens_unlock();
    if (!added) {
        open_free(o);
        return MMSYSERR_NOMEM;
    }
    *phwo = target.handle;
    log_open(&target, uDeviceID, fdwOpen, pwfx, caller);
    target_notify(&target, WOM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

// Takes the open out of its device's list.
static void unlink_open(wave_open *o) {
    wave_open **link = &o->device->opens;
    while (*link != o)
        link = &(*link)->device_next;
    *link = o->device_next;
}

// A close with buffers in the queue fails, as on the platform. One whose last
// WOM_DONE is being delivered on the drop-in's thread waits for it, so that
// nothing reaches the open once the close has returned; from that callback
// itself it goes ahead, and the thread frees the open when the callback returns.
static MMRESULT WINAPI __attribute__((noinline)) close_open(HWAVEOUT hwo) {
    DWORD self = GetCurrentThreadId();
    opens_lock();
    wave_open *o;
    for (;;) {
        o = opens_find(hwo);
        if (!o) {
            opens_unlock();
            return MMSYSERR_INVALHANDLE;
        }
        if (o->first) {
            opens_unlock();
            return WAVERR_STILLPLAYING;
        }
        if (!o->busy || o->busy_thread == self)
            break;
        opens_unlock();
        Sleep(1);
        opens_lock();
    }
    opens_remove(o);
    unlink_open(o);
    device_release(o->device);
    bool free_now = o->busy == 0;
    o->closed = true;
    LONG underruns = o->underruns;
    opens_unlock();
    write_debug_log("close of open %p: %ld underruns\n", (void *)hwo, (long)underruns);
    open_notify(o, WOM_CLOSE, 0);
    if (free_now)
        open_free(o);
    return MMSYSERR_NOERROR;
}

// A passed-on close builds no stack frame: the check, then a jump.
extern "C" MMRESULT WINAPI dropin_waveOutClose(HWAVEOUT hwo) {
    if (!handle_in_range((UINT_PTR)hwo))
        return wm_real_waveOutClose(hwo);
    return close_open(hwo);
}
