// The program's opens: each waveOutOpen from a program module is a device of
// its own, with a handle of its own, mixed onto one real device per device id.
//
// A handle is an address inside a range of address space reserved once and
// never committed: it can never equal a handle the platform made, and telling
// one from the other is a subtraction and a compare, without a lock.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "mix.h"

struct wave_device;

enum {
    position_slots = 4, // blocks remembered per open for its position; more than blocks in flight
};

// One open of a program module. Everything but `handle` is read and written
// under the opens' lock.
struct wave_open {
    HWAVEOUT handle;
    wave_open *hash_next;   // the next open in its bucket of the table
    wave_open *device_next; // the next open of the same real device
    wave_device *device;    // the real device it plays through

    // Where its notifications go, as DriverCallback takes them.
    DWORD_PTR callback;
    DWORD_PTR instance;
    DWORD callback_kind; // DCB_ kind: the high word of the open's CALLBACK_TYPEMASK flags
    DWORD open_flags;    // as the program passed them

    // The queue of the program's buffers, linked through lpNext: `first` is
    // the oldest not yet returned, `playing` the next to mix (NULL when all
    // are mixed), `loop_start` the first buffer of the loop being played. A
    // buffer whose last sample was mixed in block s, outside any loop, holds
    // s + 1 in its `reserved` field; it is returned once block s has played.
    WAVEHDR *first, *last, *playing, *loop_start;
    DWORD offset;     // bytes of `playing` already mixed
    DWORD loops_left; // passes of the loop still to play, this one included
    DWORD volume;     // low word left, high word right, 0xFFFF full
    DWORD latency;    // output frames the resampler's filter holds back
    bool paused;
    bool draining; // the filter may hold sound of buffers already used up

    // Its position: input bytes mixed since open or reset, and for each of
    // the latest blocks it played in, the count after that block.
    UINT64 bytes_mixed;
    UINT64 bytes_played; // as of the latest block the real device returned
    UINT64 slot_seq[position_slots];
    UINT64 slot_bytes[position_slots];

    // Underruns: the block in which its queue ran dry while it played.
    UINT64 dry_seq;
    bool dry;
    LONG underruns;

    // WOM_DONE being delivered on the drop-in's thread. A close from that
    // very callback marks the open closed; the thread frees it afterwards.
    LONG busy;
    DWORD busy_thread;
    bool closed;

    pcm_format in;
    UINT device_id;
    mix_stream stream;
};

// ---- shared with the export handlers: read without the lock ----------------------
extern UINT_PTR volatile handles_base; // the reserved range; size 0 until reserved,
extern UINT_PTR volatile handles_size; // written after the base
// -----------------------------------------------------------------------------------

// True when `handle` lies in the drop-in's range. Outside it, a handle is the
// platform's and every call about it goes to the system's winmm.
__attribute__((always_inline)) inline bool handle_in_range(UINT_PTR handle) {
    UINT_PTR size = __atomic_load_n(&handles_size, __ATOMIC_ACQUIRE);
    return handle - handles_base < size;
}

// The lock over the opens, their queues and the real devices. Never held
// across a call to the program's notification target.
void opens_init();
void opens_lock();
void opens_unlock();

// Under the lock: gives `open` a handle and enters it in the table; false when
// no address space could be reserved for handles.
bool opens_add(wave_open *open);
// Under the lock: the live open with `handle`; NULL when there is none.
wave_open *opens_find(HWAVEOUT handle);
// Under the lock: takes `open` out of the table; its handle is never given again
// until the counter comes round.
void opens_remove(wave_open *open);

// A record for a new open, its stream not yet prepared and everything else
// zero; NULL when memory ran out. Records of closed opens are kept for
// later opens, never more than the most opens held at once and the spares
// made: a fresh one costs a growth of the heap and its first touch.
wave_open *open_alloc();
// Keeps the record of a closed open for a later one.
void open_free(wave_open *open);
// Makes `count` records ready for the opens to come, on the first open.
void opens_keep_spares(int count);

// Where an open's notifications go, copied for sending without the lock.
struct open_target {
    HWAVEOUT handle;
    DWORD_PTR callback;
    DWORD_PTR instance;
    DWORD kind;
};

inline open_target open_target_of(const wave_open *open) {
    return {open->handle, open->callback, open->instance, open->callback_kind};
}

// Sends `message` to a target through the system's DriverCallback, as the
// platform does. Called without the lock.
void target_notify(const open_target *target, UINT message, DWORD_PTR param1);

// The same for an open that stays valid meanwhile: busy, or not yet or no
// longer in the table.
inline void open_notify(const wave_open *open, UINT message, DWORD_PTR param1) {
    open_target target = open_target_of(open);
    target_notify(&target, message, param1);
}
