// The table of devices, one per format, and the lock over the drop-in's
// bookkeeping.

#include "devices.h"

#include "headers.h"

// ---- module state ------------------------------------------------------------------
wave_device devices[device_slots];         // every device; a slot is claimed for a format
wave_target no_target = {0, 0, ~0u, 0, 0}; // never a request's flags: always a slow open
wave_device no_device = {{{~0u, ~0u, ~0u, ~0u}, 0, {}}, {}, &no_target, {}, 0, 0, 0, 0, false};
wave_device *volatile hot_device = &no_device; // checked first by the answered path
static volatile LONG busy;                     // 1 while a thread holds the lock
static LONG openings;                          // first opens so far, to order the devices
// ------------------------------------------------------------------------------------

void devices_lock() {
    // Held for a few instructions, so a yielding spin is enough and needs no set-up.
    while (InterlockedCompareExchange(&busy, 1, 0) != 0)
        Sleep(0);
}

void devices_unlock() {
    InterlockedExchange(&busy, 0);
}

static bool is_free(const wave_device *device) {
    return !device->claimed || (!device_is_open(device) && device->pending == 0);
}

wave_device *device_for_format(const WAVEFORMATEX *format) {
    wave_device *free_slot = NULL;
    for (wave_device *d = devices; d < devices + device_slots; d++) {
        if (d->claimed && format_matches(&d->format, format)) {
            d->pending++;
            return d;
        }
        if (!free_slot && is_free(d))
            free_slot = d;
    }
    if (free_slot) {
        format_keep(&free_slot->format, format);
        free_slot->latest = &no_target;
        free_slot->claimed = true;
        free_slot->pending = 1;
    }
    return free_slot;
}

void device_make_hot(wave_device *device) {
    // Published after the latch's handle: the answered path reads it without the latch's flag.
    if (format_is_pcm(&device->format))
        __atomic_store_n(&hot_device, device, __ATOMIC_RELEASE);
}

void device_mark_opened(wave_device *device) {
    device->opened_at = ++openings;
}

wave_device *device_opened_first() {
    wave_device *first = NULL;
    for (wave_device *d = devices; d < devices + device_slots; d++) {
        if (device_is_open(d) && (!first || d->opened_at < first->opened_at))
            first = d;
    }
    return first;
}

wave_device *device_of_handle(HWAVEOUT handle) {
    for (wave_device *d = devices; d < devices + device_slots; d++) {
        if (device_is_open(d) && d->latch.handle == handle)
            return d;
    }
    return NULL;
}

void device_forget(wave_device *device) {
    if (hot_device == device)
        __atomic_store_n(&hot_device, &no_device, __ATOMIC_RELEASE);
    headers_forget_device(device);
    for (wave_target *t = device->targets; t < device->targets + target_slots; t++)
        __atomic_store_n(&t->serial, 0, __ATOMIC_RELEASE);
    device->latest = &no_target;
    device->opens = 0;
    device->serials = 0;
    latch_forget(&device->latch);
}
