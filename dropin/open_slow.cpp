// The opens that the answered path leaves: the first open of each format,
// opens that name a new notification target, opens of another format, and
// requests that open no device.

#define __USE_MINGW_ANSI_STDIO 0
#include <string.h>

#include "devices.h"
#include "notify.h"
#include "real_winmm.h"
#include "settings.h"
#include "targets.h"

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

static void describe_device(const wave_device *device, char *text, size_t size) {
    WAVEFORMATEX format = {};
    memcpy(&format, device->format.head, sizeof device->format.head);
    format_describe(&format, text, size);
}

static void log_target(void *caller, const wave_target *target) {
    if (!debug_log_setting)
        return;
    char name[MAX_PATH], where[96];
    module_name(caller, name, MAX_PATH);
    target_describe(target, where, sizeof where);
    write_debug_log("open %ld from %s: notifications to %s\n", (long)target->serial, name, where);
}

// The first open of a device: the platform gets the drop-in's notification
// function, everything else as the program asked. The program's target is
// the device's target 1 before the platform can notify it.
static MMRESULT open_device(void *context, const wave_open_args *args) {
    wave_device *device = (wave_device *)context;
    devices_lock();
    target_record(device, args->callback, args->instance, args->flags);
    devices_unlock();
    // Makes DriverCallback's slot point at the system's function now, on the
    // program's thread, rather than at the first notification, on WINMM's.
    const DWORD dcb_null = 0; // DriverCallback's kind for no target (DCB_NULL)
    wm_real_DriverCallback(0, dcb_null, NULL, 0, 0, 0, 0);
    DWORD flags = (args->flags & ~CALLBACK_TYPEMASK) | CALLBACK_FUNCTION;
    MMRESULT result = wm_real_waveOutOpen(args->phwo, args->device, args->format,
                                          (DWORD_PTR)&dropin_notify, device - devices, flags);
    devices_lock();
    if (result == MMSYSERR_NOERROR)
        device_mark_opened(device);
    else
        device_forget(device);
    devices_unlock();
    return result;
}

// Answers an open with `device`, which is open: its target becomes the
// latest unless it is the latest already, and then gets WOM_OPEN as from a
// fresh open. `other` is the format asked for when the device plays another.
static MMRESULT answer(wave_device *device, const wave_open_args *args, void *caller,
                       const WAVEFORMATEX *other) {
    *args->phwo = device->latch.handle;
    wave_target target = no_target;
    devices_lock();
    bool same = target_is(device->latest, args->callback, args->instance, args->flags);
    if (!same)
        target = *target_record(device, args->callback, args->instance, args->flags);
    if (!other)
        device_make_hot(device);
    devices_unlock();
    if (other && debug_log_setting) {
        char asked[64], playing[64], name[MAX_PATH];
        format_describe(other, asked, sizeof asked);
        describe_device(device, playing, sizeof playing);
        module_name(caller, name, MAX_PATH);
        write_debug_log("open from %s asks for %s; answered with the device playing %s\n", name,
                        asked, playing);
    }
    if (!same) {
        log_target(caller, &target);
        target_notify(&target, device->latch.handle, WOM_OPEN, 0, 0);
    }
    return MMSYSERR_NOERROR;
}

// When the platform refuses a format, the open gets the device opened first:
// sound in the wrong format beats a failed open where one device is allowed.
static MMRESULT answer_with_first(const wave_open_args *args, void *caller, MMRESULT refused) {
    devices_lock();
    wave_device *first = device_opened_first();
    devices_unlock();
    if (!first)
        return refused;
    return answer(first, args, caller, args->format);
}

extern "C" MMRESULT WINAPI dropin_open_slow(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                            DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                                            DWORD fdwOpen) {
    void *caller = __builtin_return_address(0);
    if (opens_no_device(phwo, fdwOpen) || !pwfx)
        return wm_real_waveOutOpen(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
    wave_open_args args = {phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen};

    devices_lock();
    wave_device *device = device_for_format(pwfx);
    devices_unlock();
    if (!device) {
        // Every slot holds another format: the first device, as the
        // open-once logic answers every later open; the platform when none is open.
        devices_lock();
        wave_device *first = device_opened_first();
        devices_unlock();
        if (first)
            return answer(first, &args, caller, pwfx);
        return wm_real_waveOutOpen(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
    }

    latch_outcome outcome;
    MMRESULT result = latch_open(&device->latch, open_device, device, &args, &outcome);
    devices_lock();
    device->pending--;
    devices_unlock();
    if (outcome == latch_reentered)
        return wm_real_waveOutOpen(phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
    if (outcome == latch_answered)
        return answer(device, &args, caller, NULL);
    if (result == MMSYSERR_NOERROR) {
        // The latch holds the handle now: the answered path may have the device.
        devices_lock();
        device_make_hot(device);
        devices_unlock();
        if (debug_log_setting) {
            char format[64];
            describe_device(device, format, sizeof format);
            write_debug_log("device %p opened for %s\n", (void *)*phwo, format);
            log_target(caller, &device->targets[0]);
        }
        return result;
    }
    if (debug_log_setting) {
        char format[64];
        format_describe(pwfx, format, sizeof format);
        write_debug_log("the system refused a device for %s: error %u\n", format, result);
    }
    return answer_with_first(&args, caller, result);
}
