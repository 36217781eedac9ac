// The first-open protocol of a latch: one thread at a time calls the
// platform, and only a successful open is remembered.

#include "latch.h"

// Waits until no other thread is inside the latch's first open and makes this
// thread the one. False when this thread is inside it already.
static bool enter_first_open(open_latch *latch) {
    LONG self = (LONG)GetCurrentThreadId();
    // Contention is only possible during a first open, which is rare and
    // short, so a yielding spin is enough and needs no set-up or tear-down.
    for (;;) {
        LONG owner = InterlockedCompareExchange(&latch->owner, self, 0);
        if (owner == 0)
            return true;
        if (owner == self)
            return false;
        Sleep(1);
    }
}

static void leave_first_open(open_latch *latch) {
    InterlockedExchange(&latch->owner, 0);
}

MMRESULT latch_open(open_latch *latch, latch_open_fn open, void *context,
                    const wave_open_args *args, latch_outcome *outcome) {
    if (!enter_first_open(latch)) {
        *outcome = latch_reentered;
        return MMSYSERR_NOERROR;
    }
    MMRESULT result;
    if (latch_answer(latch, args->phwo)) {
        // Another thread opened the device while this one waited.
        *outcome = latch_answered;
        result = MMSYSERR_NOERROR;
    } else {
        *outcome = latch_opened;
        result = open(context, args);
        // A failed open is not remembered: the next request tries the platform again.
        if (result == MMSYSERR_NOERROR) {
            latch->handle = *args->phwo;
            __atomic_store_n(&latch->done, 1, __ATOMIC_RELEASE);
        }
    }
    leave_first_open(latch);
    return result;
}

void latch_forget(open_latch *latch) {
    __atomic_store_n(&latch->done, 0, __ATOMIC_RELEASE);
}
