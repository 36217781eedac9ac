// The map from prepared headers to the targets their WOM_DONE goes to: a
// fixed table, written under the devices' lock, read without it on WINMM's
// notification thread.

#include "headers.h"

// One prepared header; free while `header` is NULL.
struct header_entry {
    const WAVEHDR *volatile header;     // published last
    const wave_device *volatile device; // the device it was prepared on
    LONG volatile serial;               // the target latest then
};

// ---- module state ------------------------------------------------------------------
static header_entry entries[header_slots]; // in no order; a lookup reads them all
// ------------------------------------------------------------------------------------

void header_record(const WAVEHDR *header, const wave_device *device, LONG serial) {
    header_entry *free_entry = NULL;
    for (header_entry *e = entries; e < entries + header_slots; e++) {
        if (e->header == header) {
            // Prepared again: no WOM_DONE of it can be on its way.
            e->device = device;
            e->serial = serial;
            return;
        }
        if (!free_entry && !e->header)
            free_entry = e;
    }
    if (!free_entry)
        return;
    free_entry->device = device;
    free_entry->serial = serial;
    __atomic_store_n(&free_entry->header, header, __ATOMIC_RELEASE);
}

LONG header_target(const WAVEHDR *header, const wave_device *device) {
    for (const header_entry *e = entries; e < entries + header_slots; e++) {
        if (__atomic_load_n(&e->header, __ATOMIC_ACQUIRE) != header)
            continue;
        const wave_device *on = e->device;
        LONG serial = e->serial;
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (__atomic_load_n(&e->header, __ATOMIC_RELAXED) == header && on == device)
            return serial;
    }
    return 0;
}

bool header_known(const WAVEHDR *header) {
    for (const header_entry *e = entries; e < entries + header_slots; e++) {
        if (__atomic_load_n(&e->header, __ATOMIC_ACQUIRE) == header)
            return true;
    }
    return false;
}

void header_forget(const WAVEHDR *header) {
    for (header_entry *e = entries; e < entries + header_slots; e++) {
        if (e->header == header)
            __atomic_store_n(&e->header, (const WAVEHDR *)NULL, __ATOMIC_RELEASE);
    }
}

bool header_queued_for(const wave_device *device, LONG serial) {
    for (const header_entry *e = entries; e < entries + header_slots; e++) {
        const WAVEHDR *header = e->header;
        // A program may free a header it never unprepared: one that cannot
        // be read is not queued.
        if (header && e->device == device && e->serial == serial &&
            !IsBadReadPtr(header, sizeof *header) && (header->dwFlags & WHDR_INQUEUE))
            return true;
    }
    return false;
}

void headers_forget_device(const wave_device *device) {
    for (header_entry *e = entries; e < entries + header_slots; e++) {
        if (e->device == device)
            __atomic_store_n(&e->header, (const WAVEHDR *)NULL, __ATOMIC_RELEASE);
    }
}
