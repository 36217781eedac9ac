// A device's notification targets: recorded under the devices' lock, read
// without it on WINMM's notification thread.

#define __USE_MINGW_ANSI_STDIO 0
#include "targets.h"

#include <stdio.h>

#include "headers.h"
#include "real_winmm.h"

static wave_target *slot_of(wave_device *device, LONG serial) {
    return &device->targets[(serial - 1) % target_slots];
}

static const wave_target *slot_of(const wave_device *device, LONG serial) {
    return &device->targets[(serial - 1) % target_slots];
}

bool target_is(const wave_target *target, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    DWORD kind = flags & CALLBACK_TYPEMASK;
    if (target == &no_target || kind != (target->flags & CALLBACK_TYPEMASK))
        return false;
    if (kind == CALLBACK_NULL)
        return true;
    // An event, a window or a thread gets no instance value.
    return target->callback == callback &&
           (kind != CALLBACK_FUNCTION || target->instance == instance);
}

wave_target *target_record(wave_device *device, DWORD_PTR callback, DWORD_PTR instance,
                           DWORD flags) {
    LONG serial = ++device->serials;
    wave_target *target = slot_of(device, serial);
    // A reader that finds the serial unchanged around its copy has a whole record.
    __atomic_store_n(&target->serial, 0, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    target->callback = callback;
    target->instance = instance;
    target->flags = flags;
    target->thread = GetCurrentThreadId();
    __atomic_store_n(&target->serial, serial, __ATOMIC_RELEASE);
    __atomic_store_n(&device->latest, target, __ATOMIC_RELEASE);
    device->opens++;
    return target;
}

bool target_read(const wave_device *device, LONG serial, wave_target *copy) {
    const wave_target *target = slot_of(device, serial);
    if (__atomic_load_n(&target->serial, __ATOMIC_ACQUIRE) != serial)
        return false;
    copy->callback = target->callback;
    copy->instance = target->instance;
    copy->flags = target->flags;
    copy->serial = serial;
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return __atomic_load_n(&target->serial, __ATOMIC_RELAXED) == serial;
}

bool target_read_latest(const wave_device *device, wave_target *copy) {
    // A close or an open may replace the latest meanwhile: read it again.
    for (int tries = 0; tries < 4; tries++) {
        const wave_target *latest = __atomic_load_n(&device->latest, __ATOMIC_ACQUIRE);
        if (latest == &no_target)
            return false;
        LONG serial = __atomic_load_n(&latest->serial, __ATOMIC_ACQUIRE);
        if (serial && target_read(device, serial, copy))
            return true;
    }
    return false;
}

LONG target_for_header(const wave_device *device) {
    // Sound objects that open and prepare on threads of their own at once:
    // each one's headers go to its own target, not to whichever opened last.
    DWORD self = GetCurrentThreadId();
    LONG serial = 0;
    for (const wave_target *t = device->targets; t < device->targets + target_slots; t++) {
        if (t->serial > serial && t->thread == self)
            serial = t->serial;
    }
    return serial ? serial : device->latest->serial;
}

bool target_retire(wave_device *device, wave_target *retired) {
    wave_target *pick = NULL;
    wave_target *next = &no_target;
    bool any = false;
    for (wave_target *t = device->targets; t < device->targets + target_slots; t++) {
        if (!t->serial)
            continue;
        any = true;
        if (!header_queued_for(device, t->serial) && (!pick || t->serial > pick->serial))
            pick = t;
    }
    if (!any) {
        // Every target it had was forgotten: the open ends without a notification.
        *retired = no_target;
        device->opens--;
        return true;
    }
    if (!pick)
        return false;
    for (wave_target *t = device->targets; t < device->targets + target_slots; t++) {
        if (t != pick && t->serial && (next == &no_target || t->serial > next->serial))
            next = t;
    }
    *retired = *pick;
    // The new latest is in place before the old one reads as retired.
    if (device->latest == pick)
        __atomic_store_n(&device->latest, next, __ATOMIC_RELEASE);
    __atomic_store_n(&pick->serial, 0, __ATOMIC_RELEASE);
    device->opens--;
    return true;
}

void target_notify(const wave_target *target, HWAVEOUT handle, UINT message, DWORD_PTR param1,
                   DWORD_PTR param2) {
    DWORD kind = target->flags & CALLBACK_TYPEMASK;
    if (target->flags == no_target.flags || kind == CALLBACK_NULL)
        return;
    // DriverCallback's kinds are the high word of waveOutOpen's: DCB_FUNCTION
    // for CALLBACK_FUNCTION, DCB_EVENT, DCB_WINDOW, DCB_TASK for a thread.
    wm_real_DriverCallback(target->callback, HIWORD(kind), (HDRVR)handle, message, target->instance,
                           param1, param2);
}

void target_describe(const wave_target *target, char *text, size_t size) {
    // msvcrt's _snprintf leaves a text that fills the buffer unterminated.
    switch (target->flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
        _snprintf(text, size - 1, "none (CALLBACK_NULL)");
        break;
    case CALLBACK_FUNCTION:
        _snprintf(text, size - 1, "the function %p with instance %p", (void *)target->callback,
                  (void *)target->instance);
        break;
    case CALLBACK_EVENT:
        _snprintf(text, size - 1, "the event %p", (void *)target->callback);
        break;
    case CALLBACK_WINDOW:
        _snprintf(text, size - 1, "the window %p", (void *)target->callback);
        break;
    case CALLBACK_THREAD:
        _snprintf(text, size - 1, "the thread %lu", (unsigned long)target->callback);
        break;
    default:
        _snprintf(text, size - 1, "the unknown kind 0x%lx", (unsigned long)target->flags);
    }
    text[size - 1] = 0;
}
