// The first-open protocol that both DLLs share: a latch holds one wave
// output device, opened once through the platform and handed to every later
// open from memory.
//
// sndlatch.dll keeps one latch for the whole module. The drop-in winmm.dll
// keeps one per wave format, and opens the platform in its own way (its own
// notification function), through the `open` function it passes in.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// One device opened once. All zero is the unopened state, so a latch in
// static memory needs no set-up.
struct open_latch {
    volatile LONG done;  // 1 once `handle` holds the device of a successful open
    HWAVEOUT handle;     // that device
    volatile LONG owner; // id of the thread inside the first open; 0 when none
};

// waveOutOpen's six arguments, in its order.
struct wave_open_args {
    LPHWAVEOUT phwo;
    UINT device;
    LPCWAVEFORMATEX format;
    DWORD_PTR callback;
    DWORD_PTR instance;
    DWORD flags;
};

// How a latch's first open reaches the platform.
typedef MMRESULT (*latch_open_fn)(void *context, const wave_open_args *args);

// What latch_open did with a request.
enum latch_outcome {
    latch_answered,  // the latch was open by then: answered from memory
    latch_opened,    // `open` was called; its success is remembered, a failure is not
    latch_reentered, // this thread is inside this latch's first open already (a
                     // WOM_OPEN callback opening again): nothing was done, and the
                     // caller passes the request to the platform unchanged
};

// A request that opens no device: a format query, or no slot for a handle.
// These go to the platform as they are, before and after the first open.
// Both tests are made, with no short circuit: GCC then tests the flag where
// it lies on the caller's stack instead of loading it into a register first.
inline bool opens_no_device(LPHWAVEOUT phwo, DWORD fdwOpen) {
    return (phwo == NULL) | ((fdwOpen & WAVE_FORMAT_QUERY) != 0);
}

// The answered path: once the latch is open, writes its device into *phwo
// and returns true. Reads shared memory only.
inline bool latch_answer(const open_latch *latch, LPHWAVEOUT phwo) {
    if (!__atomic_load_n(&latch->done, __ATOMIC_ACQUIRE))
        return false;
    *phwo = latch->handle;
    return true;
}

// The first open of `latch`, for a request that opens a device. Racing
// first opens from different threads reach `open` once; the others wait and
// are answered with its device, or try the platform themselves when it
// failed. An exception that leaves `open` (a fault in the platform, a
// WOM_OPEN callback that raises) lets the latch go as a failed open would.
// Returns the platform's result code unchanged, or MMSYSERR_NOERROR when
// answered; *outcome says which happened.
MMRESULT latch_open(open_latch *latch, latch_open_fn open, void *context,
                    const wave_open_args *args, latch_outcome *outcome);

// Forgets the latch's device after it was closed for real: the next open
// goes to the platform as a first open.
void latch_forget(open_latch *latch);
