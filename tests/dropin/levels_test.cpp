// The drop-in winmm.dll with a program that opens the device at every level:
// each level is a device of its own, with its own handle, notifications,
// format and close. Each case ends with every open closed.

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <string>

#include "read_log.h"

static const WAVEFORMATEX pcm22 = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
static const WAVEFORMATEX pcm11 = {WAVE_FORMAT_PCM, 1, 11025, 11025, 1, 8, 0};
static const WAVEFORMATEX pcm8 = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

enum kind { by_function, by_event, by_window, by_thread };
static const char *const kind_names[] = {"function", "event", "window", "thread"};
enum { buffers = 3, block = 2048 };

// One level: its buffers and what its target received.
struct level {
    kind how;
    HWAVEOUT handle;
    WAVEHDR headers[buffers];
    char data[buffers][block];
    volatile LONG opened, own_done, other_done, closed, wakes;
    HANDLE event, waiter;
    HWND window;
    DWORD thread_id;
    volatile bool stop;
};

static void record(level *l, UINT message, DWORD_PTR header) {
    const char *h = (const char *)header, *first = (const char *)l->headers;
    if (message == WOM_OPEN)
        InterlockedIncrement(&l->opened);
    else if (message == WOM_CLOSE)
        InterlockedIncrement(&l->closed);
    else if (message == WOM_DONE)
        InterlockedIncrement(h >= first && h < first + sizeof l->headers ? &l->own_done
                                                                         : &l->other_done);
}

static DWORD main_thread = GetCurrentThreadId();
static volatile LONG off_thread; // WOM_OPEN or WOM_CLOSE called on another thread than the call's

static void CALLBACK on_notify(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR p1,
                               DWORD_PTR) {
    // As from the platform, WOM_OPEN and WOM_CLOSE come on the opening or closing thread.
    if ((message == WOM_OPEN || message == WOM_CLOSE) && GetCurrentThreadId() != main_thread)
        InterlockedIncrement(&off_thread);
    record((level *)instance, message, p1);
}

static LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    if (message >= MM_WOM_OPEN && message <= MM_WOM_DONE) {
        record((level *)GetWindowLongPtrA(window, GWLP_USERDATA), message - MM_WOM_OPEN + WOM_OPEN,
               (DWORD_PTR)lp);
        return 0;
    }
    return DefWindowProcA(window, message, wp, lp);
}

static DWORD WINAPI thread_target(void *arg) {
    level *l = (level *)arg;
    MSG msg;
    PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE); // the queue exists from here on
    SetEvent(l->event);
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (msg.message >= MM_WOM_OPEN && msg.message <= MM_WOM_DONE)
            record(l, msg.message - MM_WOM_OPEN + WOM_OPEN, (DWORD_PTR)msg.lParam);
    }
    return 0;
}

// An event carries no header: its waiter counts how often it was set.
static DWORD WINAPI event_waiter(void *arg) {
    level *l = (level *)arg;
    while (!l->stop) {
        if (WaitForSingleObject(l->event, 20) == WAIT_OBJECT_0)
            InterlockedIncrement(&l->wakes);
    }
    return 0;
}

static void pump() {
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
}

static level *new_level(kind how) {
    level *l = (level *)VirtualAlloc(NULL, sizeof(level), MEM_COMMIT, PAGE_READWRITE);
    l->how = how;
    l->event = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (how == by_window) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = on_message;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "levels_test";
        RegisterClassA(&wc);
        l->window =
            CreateWindowA("levels_test", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, wc.hInstance, NULL);
        EXPECT_NE(l->window, (HWND)NULL) << GetLastError();
        SetWindowLongPtrA(l->window, GWLP_USERDATA, (LONG_PTR)l);
    } else if (how == by_thread) {
        l->waiter = CreateThread(NULL, 0, thread_target, l, 0, &l->thread_id);
        WaitForSingleObject(l->event, INFINITE);
    }
    return l;
}

static MMRESULT open_level(level *l, const WAVEFORMATEX &format) {
    static const DWORD flags[] = {CALLBACK_FUNCTION, CALLBACK_EVENT, CALLBACK_WINDOW,
                                  CALLBACK_THREAD};
    DWORD_PTR target[] = {(DWORD_PTR)on_notify, (DWORD_PTR)l->event, (DWORD_PTR)l->window,
                          l->thread_id};
    MMRESULT result =
        waveOutOpen(&l->handle, WAVE_MAPPER, &format, target[l->how], (DWORD_PTR)l, flags[l->how]);
    if (l->how == by_event) {
        ResetEvent(l->event); // set by WOM_OPEN
        l->waiter = CreateThread(NULL, 0, event_waiter, l, 0, NULL);
    }
    return result;
}

static void write_level(level *l, int count) {
    for (int i = 0; i < count; i++) {
        WAVEHDR *h = &l->headers[i];
        memset(l->data[i], 0, block);
        *h = {};
        h->lpData = l->data[i];
        h->dwBufferLength = block;
        EXPECT_EQ(waveOutPrepareHeader(l->handle, h, sizeof *h), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutWrite(l->handle, h, sizeof *h), MMSYSERR_NOERROR);
    }
}

// Waits until `count` of the level's buffers are done, and its target told.
static void wait_done(level *l, int count) {
    for (int t = 0; t < 1000; t++) {
        pump();
        int done = 0;
        for (int i = 0; i < buffers; i++)
            done += (l->headers[i].dwFlags & WHDR_DONE) != 0;
        if (done >= count && (l->how == by_event || l->own_done + l->other_done >= count))
            return;
        Sleep(10);
    }
}

static void end_level(level *l) {
    for (WAVEHDR &h : l->headers)
        waveOutUnprepareHeader(l->handle, &h, sizeof h);
}

// After the level's close: its waiter or thread ends.
static void stop_level(level *l) {
    Sleep(50);
    pump();
    l->stop = true;
    if (l->how == by_thread)
        PostThreadMessageA(l->thread_id, WM_QUIT, 0, 0);
    if (l->waiter)
        WaitForSingleObject(l->waiter, 5000);
}

// Three levels, each opening with a target of its own while the last buffer
// of the level before still plays, then closing one open each.
static void play_three_levels(kind k) {
    level *levels[3];
    for (int i = 0; i < 3; i++) {
        levels[i] = new_level((kind)k);
        ASSERT_EQ(open_level(levels[i], pcm22), MMSYSERR_NOERROR) << kind_names[k];
        if (i > 0) {
            EXPECT_NE(levels[i]->handle, levels[i - 1]->handle);
        }
        write_level(levels[i], buffers);
        wait_done(levels[i], buffers - 1);
    }
    for (level *l : levels)
        wait_done(l, buffers);
    for (int i = 0; i < 3; i++) {
        level *l = levels[i];
        if (k == by_event) {
            EXPECT_GE(l->wakes, 1) << "event level " << i + 1 << ": never set";
            continue;
        }
        EXPECT_EQ(l->opened, 1) << kind_names[k] << " level " << i + 1;
        EXPECT_EQ(l->own_done, buffers)
            << kind_names[k] << " level " << i + 1 << ": WOM_DONE of its own buffers";
        EXPECT_EQ(l->other_done, 0) << kind_names[k] << " level " << i + 1;
    }
    for (int i = 2; i >= 0; i--) {
        end_level(levels[i]);
        EXPECT_EQ(waveOutClose(levels[i]->handle), MMSYSERR_NOERROR) << "close " << i;
        stop_level(levels[i]);
        if (k != by_event) {
            EXPECT_EQ(levels[i]->closed, 1) << kind_names[k] << " WOM_CLOSE level " << i + 1;
        }
    }
    EXPECT_EQ(off_thread, 0);
}

TEST(Levels, EachLevelsFunctionGetsItsOwnNotifications) {
    play_three_levels(by_function);
}

TEST(Levels, EachLevelsEventGetsItsOwnNotifications) {
    play_three_levels(by_event);
}

TEST(Levels, EachLevelsWindowGetsItsOwnNotifications) {
    play_three_levels(by_window);
}

TEST(Levels, EachLevelsThreadGetsItsOwnNotifications) {
    play_three_levels(by_thread);
}

// The first level's instance is freed before the next level opens: nothing
// may reach it after that.
TEST(Levels, AFreedInstanceIsNeverCalled) {
    level *first = new_level(by_function);
    ASSERT_EQ(open_level(first, pcm8), MMSYSERR_NOERROR);
    write_level(first, buffers);
    wait_done(first, buffers);
    end_level(first);
    VirtualFree(first, 0, MEM_RELEASE);
    for (int i = 0; i < 2; i++) {
        level *l = new_level(by_function);
        ASSERT_EQ(open_level(l, pcm8), MMSYSERR_NOERROR);
        write_level(l, buffers);
        wait_done(l, buffers);
        EXPECT_EQ(l->own_done, buffers) << "level " << i + 2;
        end_level(l);
    }
    // The freed level's open stays: the program never closed it. Its device
    // plays 8000 Hz, a format no other case asks for.
}

// A level in another format is an open like any other: its own handle, its
// own notifications.
TEST(Levels, AnotherFormatHasItsOwnDevice) {
    const WAVEFORMATEX *formats[] = {&pcm22, &pcm11, &pcm22};
    level *levels[3];
    for (int i = 0; i < 3; i++) {
        levels[i] = new_level(by_function);
        ASSERT_EQ(open_level(levels[i], *formats[i]), MMSYSERR_NOERROR);
        write_level(levels[i], 1);
        wait_done(levels[i], 1);
        EXPECT_EQ(levels[i]->own_done, 1) << "level " << i + 1;
    }
    EXPECT_NE(levels[1]->handle, levels[0]->handle);
    EXPECT_NE(levels[2]->handle, levels[0]->handle);
    for (int i = 2; i >= 0; i--) {
        end_level(levels[i]);
        EXPECT_EQ(waveOutClose(levels[i]->handle), MMSYSERR_NOERROR) << "level " << i + 1;
    }
}

TEST(Levels, ClosesEndOneOpenAtATime) {
    // Open, play, close, three times.
    for (int i = 0; i < 3; i++) {
        level *l = new_level(by_function);
        ASSERT_EQ(open_level(l, pcm22), MMSYSERR_NOERROR) << "round " << i;
        write_level(l, 1);
        wait_done(l, 1);
        end_level(l);
        EXPECT_EQ(waveOutClose(l->handle), MMSYSERR_NOERROR) << "round " << i;
        EXPECT_EQ(l->opened + l->own_done + l->closed, 3) << "round " << i;
    }
    // Two sound objects: the idle one closes while the other plays on.
    level *idle = new_level(by_function), *playing = new_level(by_function);
    ASSERT_EQ(open_level(idle, pcm22), MMSYSERR_NOERROR);
    ASSERT_EQ(open_level(playing, pcm22), MMSYSERR_NOERROR);
    write_level(playing, buffers);
    EXPECT_EQ(waveOutClose(idle->handle), MMSYSERR_NOERROR);
    EXPECT_EQ(idle->closed, 1);
    EXPECT_EQ(playing->closed, 0);
    // A close with the open's buffers queued fails, as on the platform.
    level *second = new_level(by_function);
    ASSERT_EQ(open_level(second, pcm22), MMSYSERR_NOERROR);
    write_level(second, 1);
    EXPECT_EQ(waveOutClose(second->handle), (MMRESULT)WAVERR_STILLPLAYING);
    wait_done(playing, buffers);
    wait_done(second, 1);
    EXPECT_EQ(playing->own_done, buffers);
    EXPECT_EQ(second->own_done, 1);
    end_level(second);
    EXPECT_EQ(waveOutClose(second->handle), MMSYSERR_NOERROR);
    EXPECT_EQ(second->closed, 1);
    end_level(playing);
    EXPECT_EQ(waveOutClose(playing->handle), MMSYSERR_NOERROR);
    EXPECT_EQ(playing->closed, 1);
    WAVEHDR h = {};
    EXPECT_EQ(waveOutPrepareHeader(playing->handle, &h, sizeof h), MMSYSERR_INVALHANDLE)
        << "a closed handle";
}

// Four sound objects open, play and wait on four threads at once: each one's
// buffers finish at its own target.
static DWORD WINAPI play_on_thread(void *arg) {
    level *l = (level *)arg;
    if (open_level(l, pcm22) == MMSYSERR_NOERROR) {
        write_level(l, buffers);
        wait_done(l, buffers);
    }
    return 0;
}

TEST(Levels, OpensOnThreadsAtOnce) {
    level *levels[4];
    HANDLE threads[4];
    for (int i = 0; i < 4; i++) {
        levels[i] = new_level(by_function);
        threads[i] = CreateThread(NULL, 0, play_on_thread, levels[i], 0, NULL);
    }
    WaitForMultipleObjects(4, threads, TRUE, 30000);
    LONG closed = 0;
    for (level *l : levels) {
        EXPECT_EQ(l->own_done, buffers);
        EXPECT_EQ(l->other_done, 0);
        end_level(l);
    }
    for (level *l : levels)
        EXPECT_EQ(waveOutClose(l->handle), MMSYSERR_NOERROR);
    for (level *l : levels)
        closed += l->closed;
    EXPECT_EQ(closed, 4);
    for (int i = 1; i < 4; i++) {
        for (int j = 0; j < i; j++)
            EXPECT_NE(levels[i]->handle, levels[j]->handle);
    }
}

// A WOM_OPEN callback that opens again, inside the first open: that open is
// one of its own.
static HWAVEOUT nested = NULL;
static MMRESULT nested_result = MMSYSERR_ERROR;

static void CALLBACK open_again(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message == WOM_OPEN && !nested)
        nested_result = waveOutOpen(&nested, WAVE_MAPPER, &pcm22, 0, 0, CALLBACK_NULL);
}

TEST(Levels, AnOpenFromWithinTheFirstOpensWomOpen) {
    HWAVEOUT first = NULL;
    ASSERT_EQ(waveOutOpen(&first, WAVE_MAPPER, &pcm22, (DWORD_PTR)open_again, 0, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    EXPECT_EQ(nested_result, MMSYSERR_NOERROR);
    EXPECT_NE(nested, first);
    EXPECT_EQ(waveOutClose(nested), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(first), MMSYSERR_NOERROR);
}

TEST(Levels, TheLogNamesTargetsAndFormats) {
    const std::string log = read_log();
    ASSERT_FALSE(log.empty()) << "no sndlatch.log";
    for (const char *line : {" from levels_test.exe: 22050 Hz 16-bit mono on the wave mapper, "
                             "notifications to the event ",
                             "notifications to the window ", "notifications to the thread ",
                             " from levels_test.exe: 11025 Hz 8-bit mono on the wave mapper",
                             "the wave mapper opened for ", "close of open "})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
}
