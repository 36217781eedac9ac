// The real devices: one per device id the program opens (the wave mapper and
// each real id get their own), opened on the first open and played by a
// thread of the drop-in that mixes every open of it into small blocks.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "mix.h"
#include "opens.h"

enum {
    device_blocks = 3, // blocks in flight at most: 30 ms of sound
    block_ms = 10,     // the length of one block
    linger_ms = 2000,  // how long the device stays open after its last close
    spare_opens = 8,   // records of opens made ready when a device opens
    underrun_gap = 25, // blocks: a queue that ran dry and is fed again within
                       // this many counts as underrun, later as a new start
};

// A stream freshly prepared for one input format: a later open of that format
// copies it rather than designing the resampler's filter again.
struct stream_template {
    stream_template *next;
    mix_stream stream;
};

struct wave_device {
    wave_device *next; // the next device of the list
    UINT id;           // the device id the program asked for
    HWAVEOUT real;     // the system's handle
    HANDLE event;      // set by the platform as blocks return, and by calls that
                       // give the thread work
    pcm_format format; // the format it plays
    unsigned char format_record[mix_format_bytes];
    wave_open *opens; // its live opens, newest first
    LONG open_count;  // its live opens, and opens being made

    WAVEHDR blocks[device_blocks]; // block s is blocks[s % device_blocks]
    float *mix;                    // one block of float frames
    DWORD block_frames;
    UINT64 written;             // blocks written so far: the next block's number
    UINT in_flight;             // blocks written and not yet returned
    DWORD idle_since;           // when its last open closed, while it has none
    LONG starved;               // times every block came back while an open still had sound
    bool asleep;                // its thread waits with nothing in flight: a call that gives
                                // it work sets the event
    stream_template *templates; // one per input format opened, freed with the device
};

// Under none of the locks: the device for `id`, opened when the program has
// none open for it, counted for one more open. `first` is the open's own
// format, played when the platform accepts neither 48000 nor 44100 Hz
// 16-bit stereo. Returns the platform's error when it cannot be opened.
MMRESULT device_ensure(UINT id, const unsigned char *first, wave_device **device);

// Under the lock: an open of `device` closed or failed to be made.
void device_release(wave_device *device);

// Called by the device's thread once it has had no open for linger_ms and
// nothing in flight: closes the real device and frees it, and returns true,
// unless an open came meanwhile.
bool device_retire(wave_device *device);

// Gives the real device back to the platform: its blocks and its handle.
void device_close_real(wave_device *device);

// At process attach.
void devices_init();

// Under the lock: wakes the device's thread when it sleeps with nothing in
// flight. With blocks in flight it wakes as the next one returns, and a
// wake-up costs a call into the system.
inline void device_wake(wave_device *device) {
    if (device->asleep) {
        device->asleep = false;
        SetEvent(device->event);
    }
}

// Under the lock: the number of the first block not yet returned.
inline UINT64 device_returned(const wave_device *device) {
    return device->written - device->in_flight;
}

// The device's thread.
DWORD WINAPI device_thread(void *device);
