// The thread of one real device. It waits on the device's event, which the
// platform sets as each block returns and the program's calls set when they
// give it work; then it
//   - counts the blocks the device returned, in order, and moves each open's
//     position on to them;
//   - mixes and writes new blocks while fewer than device_blocks are in
//     flight and some open has sound: an idle device gets nothing written and
//     its thread sleeps;
//   - sends WOM_DONE for each program buffer whose last block has played, to
//     its own open, without the lock, so that the program may call any
//     waveOut function from its callback;
//   - closes the real device linger_ms after its last open closed.

#include "device.h"
#include "mixer.h"
#include "real_winmm.h"

// Counts the blocks that came back. The platform returns them in the order
// they were written.
static void collect_returned(wave_device *d) {
    while (d->in_flight > 0) {
        UINT64 seq = device_returned(d);
        if (!(d->blocks[seq % device_blocks].dwFlags & WHDR_DONE))
            break;
        d->in_flight--;
        mixer_block_played(d, seq);
        // The device had nothing more to play: the thread was late.
        if (d->in_flight == 0 && mixer_has_sound(d))
            d->starved++;
    }
}

// Mixes and writes blocks while there is room and sound. The lock is left
// for the platform's waveOutWrite; a block the platform refuses counts as
// returned at once, so that the buffers in it still come back.
static void write_blocks(wave_device *d) {
    while (d->in_flight < device_blocks && mixer_has_sound(d)) {
        UINT64 seq = d->written;
        WAVEHDR *block = &d->blocks[seq % device_blocks];
        mixer_fill(d, seq, block->lpData);
        block->dwFlags &= ~WHDR_DONE;
        d->written++;
        d->in_flight++;
        opens_unlock();
        MMRESULT result = wm_real_waveOutWrite(d->real, block, sizeof *block);
        opens_lock();
        if (result != MMSYSERR_NOERROR)
            block->dwFlags |= WHDR_DONE;
    }
}

// Sends WOM_DONE for every played buffer, one at a time, each without the
// lock. The open is marked busy meanwhile: a close from another thread waits
// for it, a close from the callback itself leaves freeing it to this loop.
static void deliver_played(wave_device *d) {
    DWORD self = GetCurrentThreadId();
    for (;;) {
        UINT64 returned = device_returned(d);
        wave_open *o = d->opens;
        WAVEHDR *header = NULL;
        for (; o; o = o->device_next) {
            header = queue_take_played(o, returned);
            if (header)
                break;
        }
        if (!header)
            return;
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        o->busy++;
        o->busy_thread = self;
        opens_unlock();
        open_notify(o, WOM_DONE, (DWORD_PTR)header);
        opens_lock();
        if (--o->busy == 0 && o->closed)
            open_free(o);
    }
}

DWORD WINAPI device_thread(void *arg) {
    wave_device *d = (wave_device *)arg;
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)(void *)&device_thread, &self);
    for (;;) {
        opens_lock();
        d->asleep = false;
        collect_returned(d);
        write_blocks(d);
        deliver_played(d);
        // Blocks may have come back while the lock was left.
        collect_returned(d);
        DWORD wait = INFINITE;
        bool retire = false;
        if (d->in_flight > 0) {
            // The platform sets the event as each block returns; the timeout
            // only guards against a driver that misses one.
            wait = 200;
        } else if (d->open_count == 0) {
            DWORD idle = GetTickCount() - d->idle_since;
            retire = idle >= linger_ms;
            wait = retire ? 0 : linger_ms - idle;
        }
        bool more = d->in_flight < device_blocks && mixer_has_sound(d);
        d->asleep = !more && d->in_flight == 0;
        opens_unlock();
        if (retire && device_retire(d))
            break;
        if (!more)
            WaitForSingleObject(d->event, wait);
    }
    // The device is freed; the module reference taken when the thread was
    // started goes with the thread.
    FreeLibraryAndExitThread(self, 0);
    return 0;
}
