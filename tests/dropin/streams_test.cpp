// Opens that stream at once from threads of their own: worker threads that
// open, play and close with random formats and targets; an audio library's
// WinMM backend with two devices; and, on a platform that allows one open at
// a time, a second open beside the first.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "wave_open.h"

enum target_kind { by_function, by_event, by_window, by_thread, kinds };

// A message-only window, or a thread with a message queue, whose MM_WOM_*
// messages are counted into the open that the window's or thread's `w` names.
static LRESULT CALLBACK on_window_message(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    if (message >= MM_WOM_OPEN && message <= MM_WOM_DONE) {
        count_notification((wave_open *)GetWindowLongPtrA(window, GWLP_USERDATA), (HWAVEOUT)wp,
                           message - MM_WOM_OPEN + WOM_OPEN, (DWORD_PTR)lp);
        return 0;
    }
    return DefWindowProcA(window, message, wp, lp);
}

static DWORD WINAPI message_thread(void *arg) {
    wave_open *volatile *w = (wave_open *volatile *)arg;
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.message >= MM_WOM_OPEN && msg.message <= MM_WOM_DONE && *w)
            count_notification(*w, (HWAVEOUT)msg.wParam, msg.message - MM_WOM_OPEN + WOM_OPEN,
                               (DWORD_PTR)msg.lParam);
    }
    return 0;
}

struct worker {
    unsigned seed;
    DWORD ms; // how long it opens, plays and closes again
    int rounds, failures;
    std::string first_failure;
    void fail(const std::string &what) {
        if (failures++ == 0)
            first_failure = what;
    }
};

// Opens, plays one or two buffers and closes, again and again,
// each round with a random format and target kind, for `ms` milliseconds.
static DWORD WINAPI work(void *arg) {
    worker *k = (worker *)arg;
    static const DWORD rates[] = {8000, 11025, 22050, 44100};
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    HWND window = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)on_window_message);
    wave_open *volatile thread_open = NULL;
    DWORD thread_id;
    HANDLE thread = CreateThread(NULL, 0, message_thread, (void *)&thread_open, 0, &thread_id);
    while (!PostThreadMessageA(thread_id, WM_NULL, 0, 0))
        Sleep(1);
    // The time counts from here: a window and a thread may take long to
    // start on a busy machine.
    DWORD until = GetTickCount() + k->ms;
    do {
        unsigned r = (k->seed = k->seed * 1103515245u + 12345u) >> 8;
        int kind = r % kinds, buffers = 1 + (r >> 4) % 2;
        wave_open w = {};
        make_buffers(&w, pcm_format(rates[(r >> 8) % 4], (r >> 12) % 2 ? 16 : 8, 1 + (r >> 13) % 2),
                     50, 500);
        thread_open = &w;
        SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)&w);
        const DWORD flags[] = {CALLBACK_FUNCTION, CALLBACK_EVENT, CALLBACK_WINDOW, CALLBACK_THREAD};
        const DWORD_PTR targets[] = {(DWORD_PTR)on_wave_message, (DWORD_PTR)event,
                                     (DWORD_PTR)window, thread_id};
        std::string round = "round " + std::to_string(k->rounds) + " kind " + std::to_string(kind) +
                            " rate " + std::to_string(w.format.nSamplesPerSec) + ": ";
        MMRESULT result = open_with(&w, targets[kind], (DWORD_PTR)&w, flags[kind]);
        if (result != MMSYSERR_NOERROR) {
            k->fail(round + "open " + std::to_string(result));
            continue;
        }
        for (int i = 0; i < buffers; i++) {
            if ((result = write_buffer(&w, i)) != MMSYSERR_NOERROR)
                k->fail(round + "write " + std::to_string(result));
        }
        bool events = kind == by_event;
        if (!wait_until(
                [&] { return buffer_done(&w, buffers - 1) && (events || w.done >= buffers); }))
            k->fail(round + "buffers done " + std::to_string(w.done));
        unprepare_all(&w);
        if ((result = waveOutClose(w.handle)) != MMSYSERR_NOERROR)
            k->fail(round + "close " + std::to_string(result));
        else if (!events && !wait_until([&] { return w.closed == 1; }, 5000))
            k->fail(round + "no WOM_CLOSE");
        if (w.foreign_done || w.wrong_handle || (!events && w.opened != 1))
            k->fail(round + "notifications of another open");
        thread_open = NULL;
        k->rounds++;
    } while (GetTickCount() < until);
    PostThreadMessageA(thread_id, WM_QUIT, 0, 0);
    WaitForSingleObject(thread, 5000);
    DestroyWindow(window);
    return 0;
}

TEST(Threads, FourThreadsOpenPlayAndClose) {
    worker workers[4];
    HANDLE threads[4];
    for (int i = 0; i < 4; i++) {
        workers[i] = {};
        workers[i].seed = 1234 + i;
        workers[i].ms = 4000;
        threads[i] = CreateThread(NULL, 0, work, &workers[i], 0, NULL);
    }
    EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 120000), WAIT_OBJECT_0);
    for (worker &k : workers) {
        EXPECT_GT(k.rounds, 0);
        EXPECT_EQ(k.failures, 0) << "first: " << k.first_failure;
    }
}

// An audio library's backend: a device's thread keeps two buffers in
// flight, and its callback function releases a semaphore at each WOM_DONE;
// the thread waits on it before it writes the next buffer.
struct device {
    wave_open w;
    HANDLE free_buffers;
    int blocks;
    LONG done_order[64]; // the place of each of its WOM_DONEs among both devices'
    volatile LONG done_count;
};

static volatile LONG dones; // WOM_DONEs of both devices so far

static void CALLBACK on_device_message(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR,
                                       DWORD_PTR) {
    device *d = (device *)instance;
    if (message == WOM_DONE) {
        d->done_order[(InterlockedIncrement(&d->done_count) - 1) & 63] =
            InterlockedIncrement(&dones);
        ReleaseSemaphore(d->free_buffers, 1, NULL);
    }
}

static DWORD WINAPI device_thread(void *arg) {
    device *d = (device *)arg;
    for (int i = 0; i < d->blocks; i++) {
        WaitForSingleObject(d->free_buffers, INFINITE);
        WAVEHDR *h = &d->w.headers[i % 2];
        h->dwFlags &= ~WHDR_DONE;
        waveOutWrite(d->w.handle, h, sizeof *h);
    }
    for (int i = 0; i < 2; i++)
        WaitForSingleObject(d->free_buffers, 30000);
    return 0;
}

static void open_device(device *d, int blocks) {
    *d = {};
    d->blocks = blocks;
    d->free_buffers = CreateSemaphoreA(NULL, 2, 2, NULL);
    make_buffers(&d->w, pcm_format(22050, 16, 2), 100, 440);
    ASSERT_EQ(open_with(&d->w, (DWORD_PTR)on_device_message, (DWORD_PTR)d, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    for (int i = 0; i < 2; i++) {
        WAVEHDR *h = &d->w.headers[i];
        *h = {};
        h->lpData = d->w.data[i];
        h->dwBufferLength = d->w.bytes;
        ASSERT_EQ(waveOutPrepareHeader(d->w.handle, h, sizeof *h), MMSYSERR_NOERROR);
    }
}

// Plays both devices to their end, each on its thread; each plays all its
// own blocks and counts only them.
static void play_devices(device *devices) {
    HANDLE threads[2];
    for (int i = 0; i < 2; i++)
        threads[i] = CreateThread(NULL, 0, device_thread, &devices[i], 0, NULL);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 120000), WAIT_OBJECT_0);
    for (int i = 0; i < 2; i++) {
        device *d = &devices[i];
        EXPECT_EQ(d->done_count, d->blocks) << "device " << i;
        EXPECT_EQ(position(&d->w, TIME_BYTES), d->blocks * d->w.bytes) << "device " << i;
        unprepare_all(&d->w);
        EXPECT_EQ(waveOutClose(d->w.handle), MMSYSERR_NOERROR);
    }
}

TEST(AudioLibrary, TwoDevicesPlayTogether) {
    enum { blocks = 12 };
    device devices[2];
    open_device(&devices[0], blocks);
    open_device(&devices[1], blocks);
    EXPECT_NE(devices[0].w.handle, devices[1].w.handle);
    play_devices(devices);
    // Played together, their WOM_DONEs interleave: each device's first comes
    // before the other's last.
    EXPECT_LT(devices[1].done_order[0], devices[0].done_order[blocks - 1]);
    EXPECT_LT(devices[0].done_order[0], devices[1].done_order[blocks - 1]);
}

// On a platform that allows one open at a time (the stand-in winmm of
// tests/winmm_one_open), the second open fails there with MMSYSERR_ALLOCATED;
// the drop-in plays both through its one device. SNDLATCH_ONE_OPEN_PLATFORM=1
// says the program runs on that platform alone.
TEST(OneOpenPlatform, ASecondOpenPlaysBesideTheFirst) {
    bool platform_alone = getenv("SNDLATCH_ONE_OPEN_PLATFORM") != NULL;
    wave_open a = {}, b = {};
    make_buffers(&a, pcm_format(22050, 16, 1), 100, 440);
    make_buffers(&b, pcm_format(11025, 8, 1), 100, 1000);
    ASSERT_EQ(open_function(&a), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&a, 0), MMSYSERR_NOERROR);
    MMRESULT second = open_function(&b);
    if (platform_alone) {
        EXPECT_EQ(second, (MMRESULT)MMSYSERR_ALLOCATED);
    } else {
        ASSERT_EQ(second, MMSYSERR_NOERROR);
        EXPECT_NE(a.handle, b.handle);
        ASSERT_EQ(write_buffer(&b, 0), MMSYSERR_NOERROR);
        ASSERT_EQ(write_buffer(&b, 1), MMSYSERR_NOERROR);
        EXPECT_TRUE(wait_until([&] { return b.done >= 2 && buffer_done(&b, 1); })) << b.done;
        unprepare_all(&b);
        EXPECT_EQ(waveOutClose(b.handle), MMSYSERR_NOERROR);
        EXPECT_EQ(b.closed, 1);
    }
    EXPECT_TRUE(wait_until([&] { return a.done >= 1 && buffer_done(&a, 0); })) << a.done;
    unprepare_all(&a);
    EXPECT_EQ(waveOutClose(a.handle), MMSYSERR_NOERROR);
    EXPECT_EQ(a.closed, 1);
    EXPECT_EQ(a.foreign_done + b.foreign_done, 0);
}
