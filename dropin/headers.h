// Which target each prepared header's WOM_DONE goes to: the device's latest
// target when the program prepared it.
#pragma once

#include "devices.h"

enum { header_slots = 128 }; // headers prepared at once; past them, WOM_DONE goes to the latest

// Under the lock: remembers that `header` was prepared for target `serial`.
void header_record(const WAVEHDR *header, const wave_device *device, LONG serial);
// The target `header` was prepared for; 0 when it was not seen. Lock-free.
LONG header_target(const WAVEHDR *header, const wave_device *device);
// Under the lock: forgets `header` once unprepared.
void header_forget(const WAVEHDR *header);
// Lock-free: true when `header` is remembered, so unprepares of others need no lock.
bool header_known(const WAVEHDR *header);
// Under the lock: true when a header prepared for target `serial` is queued.
bool header_queued_for(const wave_device *device, LONG serial);
// Under the lock, when the device is closed for real.
void headers_forget_device(const wave_device *device);
