// The drop-in's wave output devices: one per format, each opened once
// through its own latch, each with the notification targets of the opens
// it answers.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "formats.h"
#include "latch.h"

enum {
    device_slots = 8,  // formats held at once; past them, opens get the first device
    target_slots = 16, // targets kept per device; the oldest is forgotten past them
};

// Where an open's notifications go: what the program passed to waveOutOpen.
// A record is written under the devices' lock and read without it: its
// serial is 0 while it is written, and once it is retired.
struct wave_target {
    DWORD_PTR volatile callback;
    DWORD_PTR volatile instance;
    DWORD volatile flags; // the open's flags; their CALLBACK_TYPEMASK part is the kind
    LONG volatile serial; // the target's number on its device, from 1
    DWORD thread;         // the thread whose open named it
};

// The answered path (arch_*.cpp) reads the format, the latch and the
// latest target at fixed offsets: keep them first, in this order.
struct wave_device {
    format_key format;                 // the format it plays; kept while claimed
    open_latch latch;                  // its first open, and its handle once open
    wave_target *volatile latest;      // the target recorded last and not retired
    wave_target targets[target_slots]; // target n in slot (n - 1) % target_slots
    LONG serials;                      // targets recorded since its first open
    LONG opens;                        // opens answered with it that recorded a target
    LONG pending;                      // threads between claiming it and its latch's answer
    LONG opened_at;                    // order of its first open among the devices
    bool claimed;                      // holds a format; free again when not open, not pending
};

// ---- shared with the answered path, the notification function and the handlers ----
extern wave_device devices[device_slots]; // in order of slots, not of opening
extern wave_device *volatile hot_device;  // the PCM device of the latest open that the
                                          // answered path did not answer; never NULL
extern wave_device no_device;             // hot_device when there is none: its format
                                          // matches no request
extern wave_target no_target;             // `latest` of a device without a live target:
                                          // its flags match no request
// -----------------------------------------------------------------------------------

// The lock over the table, the targets and the header map. Held for a few
// reads and writes only: never across a call to the system's winmm or to a
// program's notification target.
void devices_lock();
void devices_unlock();

// Under the lock: the device that plays `format`, or a free slot claimed for
// it, counted pending; NULL when every slot holds another format.
wave_device *device_for_format(const WAVEFORMATEX *format);
// Under the lock, after its first open succeeded: orders it after the
// others, and makes it the answered path's device when it plays PCM.
void device_mark_opened(wave_device *device);
// Under the lock: makes `device` the answered path's when it plays PCM.
void device_make_hot(wave_device *device);
// Under the lock: the open device whose first open came first; NULL when none.
wave_device *device_opened_first();
// The open device with handle `handle`; NULL when it is none of them.
wave_device *device_of_handle(HWAVEOUT handle);
// Under the lock, after a real close: the device forgets its handle, its
// targets and its headers, and its slot is free.
void device_forget(wave_device *device);

inline bool device_is_open(const wave_device *device) {
    return __atomic_load_n(&device->latch.done, __ATOMIC_ACQUIRE) != 0;
}
