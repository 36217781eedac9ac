// Each open's queue of buffers as the mixer walks it, and one block of the
// real device mixed from every open. All under the opens' lock; nothing here
// allocates or calls the platform.
#pragma once

#include "device.h"

// Appends a prepared buffer to the open's queue.
void queue_write(wave_open *open, WAVEHDR *header);

// Takes every buffer out of the open's queue, as waveOutReset does, and
// starts its position and its stream afresh; a paused open plays again on
// its next write, as on the platform. Returns them linked through
// lpNext, in order.
WAVEHDR *queue_take_all(wave_open *open);

// The open's oldest buffer when the device has played all of it (every block
// before `returned`); NULL otherwise. It is taken out of the queue.
WAVEHDR *queue_take_played(wave_open *open, UINT64 returned);

// True when some open of the device has sound to mix: buffers queued and not paused.
bool mixer_has_sound(const wave_device *device);

// Mixes block number `seq` of the device into `out`, in the device's format.
void mixer_fill(wave_device *device, UINT64 seq, void *out);

// Block number `seq` has played: each open's position moves on to it.
void mixer_block_played(wave_device *device, UINT64 seq);

// The open's position in bytes of its own format.
inline UINT64 open_position(const wave_open *open) {
    return open->bytes_played;
}
