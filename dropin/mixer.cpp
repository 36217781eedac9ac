// Walks each open's buffers in place, as the program left them in the queue,
// and adds their sound into the device's block through the portable mixer
// (mix/mix.h). Loops follow the platform: a buffer with WHDR_BEGINLOOP starts
// a loop that ends with the buffer with WHDR_ENDLOOP, played dwLoops times;
// waveOutBreakLoop lets the current pass be the last.

#include "mixer.h"

#include <string.h>

// A buffer's mark in its `reserved` field: 0 while it may still be mixed,
// else the number of the block that holds its last sample, plus one. On
// i386 the field holds the low 32 bits, compared as a wrapping count.
static void mark_finished(WAVEHDR *header, UINT64 seq) {
    DWORD_PTR mark = (DWORD_PTR)(seq + 1);
    header->reserved = mark ? mark : 1;
}

void queue_write(wave_open *o, WAVEHDR *header) {
    header->lpNext = NULL;
    header->reserved = 0;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (o->last)
        o->last->lpNext = header;
    else
        o->first = header;
    o->last = header;
    if (!o->playing) {
        o->playing = header;
        o->offset = 0;
        // Fed again after running dry while buffers it played were still on
        // their way back: the program meant to play on, and the blocks
        // between went without its sound. A queue that ended and was empty
        // is a sound that ended, not an underrun.
        if (o->dry && header != o->first) {
            UINT64 gap = o->device->written - o->dry_seq;
            if (gap <= underrun_gap)
                o->underruns += (LONG)gap;
        }
        o->dry = false;
    }
}

WAVEHDR *queue_take_all(wave_open *o) {
    WAVEHDR *all = o->first;
    o->first = o->last = o->playing = o->loop_start = NULL;
    o->offset = 0;
    o->loops_left = 0;
    o->bytes_mixed = 0;
    o->bytes_played = 0;
    o->dry = false;
    o->draining = false;
    o->paused = false;
    for (int i = 0; i < position_slots; i++)
        o->slot_seq[i] = ~(UINT64)0;
    mix_stream_reset(&o->stream);
    return all;
}

WAVEHDR *queue_take_played(wave_open *o, UINT64 returned) {
    WAVEHDR *header = o->first;
    // A buffer past the mixer or inside a loop is not marked yet.
    if (!header || !header->reserved || (INT_PTR)((DWORD_PTR)returned - header->reserved) < 0)
        return NULL;
    o->first = header->lpNext;
    if (!o->first)
        o->last = NULL;
    return header;
}

// True when the mixer has sound of the open to add: buffers, or the end of
// the last one still held in the resampler's filter.
static bool has_sound(const wave_open *o) {
    return (o->playing || o->draining) && !o->paused;
}

bool mixer_has_sound(const wave_device *device) {
    for (const wave_open *o = device->opens; o; o = o->device_next) {
        if (has_sound(o))
            return true;
    }
    return false;
}

// The mixer is done with the buffer being played: on to the next one, or
// back to the loop's start. Its last sample comes out in block `seq`.
static void advance(wave_open *o, UINT64 seq) {
    WAVEHDR *header = o->playing;
    WAVEHDR *next = header->lpNext;
    o->offset = 0;
    if ((header->dwFlags & WHDR_BEGINLOOP) && !o->loop_start) {
        o->loop_start = header;
        o->loops_left = header->dwLoops ? header->dwLoops : 1;
    }
    if (o->loop_start && (header->dwFlags & WHDR_ENDLOOP)) {
        if (--o->loops_left > 0) {
            next = o->loop_start;
        } else {
            for (WAVEHDR *h = o->loop_start; h != next; h = h->lpNext)
                mark_finished(h, seq);
            o->loop_start = NULL;
        }
    } else if (!o->loop_start) {
        mark_finished(header, seq);
    }
    o->playing = next;
}

// Adds up to `frames` frames of the open's sound into `acc`, and sets
// `*buffers_end` to the frame at which its buffers ended (`frames` when they
// did not).
// A buffer's last sample comes out the filter's latency after the frame at
// which it was used up, maybe in a later block; once the queue is used up,
// the rest of the sound held in the filter follows in this block and the
// next ones.
static void mix_open(wave_open *o, UINT64 seq, float *acc, DWORD frames, DWORD *buffers_end) {
    float left = LOWORD(o->volume) / 65535.0f, right = HIWORD(o->volume) / 65535.0f;
    unsigned channels = o->device->format.channels;
    DWORD done = 0;
    // A loop of empty buffers would never end: it is walked at most once a block.
    for (int empty = 0; o->playing && done < frames && empty < 64;) {
        WAVEHDR *h = o->playing;
        size_t used = 0;
        size_t added = 0;
        if (o->offset < h->dwBufferLength)
            added =
                mix_stream_add(&o->stream, h->lpData + o->offset, h->dwBufferLength - o->offset,
                               &used, acc + (size_t)done * channels, frames - done, left, right);
        o->offset += (DWORD)used;
        o->bytes_mixed += used;
        o->draining = o->draining || used > 0;
        done += (DWORD)added;
        empty = added ? 0 : empty + 1;
        if (o->offset >= h->dwBufferLength)
            advance(o, seq + (done + o->latency) / frames);
        else if (done < frames)
            break; // the mixer kept the rest: it never does, but it must not spin
    }
    *buffers_end = done;
    if (!o->playing && o->draining && done < frames) {
        size_t added =
            mix_stream_drain(&o->stream, acc + (size_t)done * channels, frames - done, left, right);
        o->draining = done + added == frames;
    }
}

void mixer_fill(wave_device *d, UINT64 seq, void *out) {
    memset(d->mix, 0, sizeof(float) * d->block_frames * d->format.channels);
    for (wave_open *o = d->opens; o; o = o->device_next) {
        if (!has_sound(o))
            continue;
        bool had_buffers = o->playing != NULL;
        DWORD buffers_end = 0;
        mix_open(o, seq, d->mix, d->block_frames, &buffers_end);
        if (had_buffers && !o->playing) {
            // Ran dry: from this block on when its buffers ended inside it.
            o->dry = true;
            o->dry_seq = buffers_end < d->block_frames ? seq : seq + 1;
        }
        int slot = (int)(seq % position_slots);
        o->slot_seq[slot] = seq;
        o->slot_bytes[slot] = o->bytes_mixed;
    }
    mix_write(d->mix, d->block_frames, &d->format, out);
}

void mixer_block_played(wave_device *d, UINT64 seq) {
    int slot = (int)(seq % position_slots);
    for (wave_open *o = d->opens; o; o = o->device_next) {
        if (o->slot_seq[slot] == seq)
            o->bytes_played = o->slot_bytes[slot];
    }
}
