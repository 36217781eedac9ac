// The notification targets of a device: one per open that named a target of
// its own, the latest of them the one notifications go to by default.
#pragma once

#include "devices.h"

// True when an open with these arguments would be notified exactly like
// `target`: the same kind, and the same function and instance, event, window
// or thread. Opens without notifications are all alike.
bool target_is(const wave_target *target, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);

// Under the lock: records the target of an open as the device's latest and
// counts the open. Returns its record.
wave_target *target_record(wave_device *device, DWORD_PTR callback, DWORD_PTR instance,
                           DWORD flags);

// Copies target number `serial` of `device` into *copy; false when it was
// retired or forgotten. Lock-free: safe on the notification path.
bool target_read(const wave_device *device, LONG serial, wave_target *copy);
// Copies the device's latest target; false when it has none.
bool target_read_latest(const wave_device *device, wave_target *copy);

// Under the lock: the target a header prepared now on this thread goes to:
// the latest target this thread's opens named, else the device's latest;
// 0 when the device has none.
LONG target_for_header(const wave_device *device);

// Under the lock: retires the target of one of the device's opens, for a
// program's waveOutClose that leaves other opens of it. That is the latest
// target without buffers in the queue; with every target's buffers queued it
// retires none and returns false. *retired gets a copy of the one retired.
bool target_retire(wave_device *device, wave_target *retired);

// Hands a notification to `target` as the platform would: through the
// system's DriverCallback. The handle given is the device's.
void target_notify(const wave_target *target, HWAVEOUT handle, UINT message, DWORD_PTR param1,
                   DWORD_PTR param2);

// The kind of target and where it is, for the debug log: "the event 0x1a4".
void target_describe(const wave_target *target, char *text, size_t size);
