// Two opens of the wave output device at once, as a program with music and
// effects, or a sound DLL beside its own code, holds them: each open is a
// device of its own, whatever the other does. Run against the platform's
// winmm, and against the drop-in beside the program.

#include <gtest/gtest.h>

#include "wave_open.h"

static const WAVEFORMATEX pcm8k = pcm_format(8000, 16, 1);
static const WAVEFORMATEX pcm22k = pcm_format(22050, 16, 2);

// Two opens in one format through one callback function, each with its own
// instance.
struct two_opens : ::testing::Test {
    wave_open a = {}, b = {};
    void SetUp() override {
        make_buffers(&a, pcm22k, 100, 440);
        make_buffers(&b, pcm22k, 100, 1000);
        ASSERT_EQ(open_function(&a), MMSYSERR_NOERROR);
        ASSERT_EQ(open_function(&b), MMSYSERR_NOERROR);
    }
    void TearDown() override {
        for (wave_open *w : {&a, &b}) {
            if (w->closed)
                continue;
            waveOutReset(w->handle);
            unprepare_all(w);
            EXPECT_EQ(waveOutClose(w->handle), MMSYSERR_NOERROR);
            EXPECT_EQ(w->closed, 1) << "WOM_CLOSE at its own instance";
            EXPECT_EQ(w->foreign_done, 0) << "WOM_DONE of the other open's buffers";
            EXPECT_EQ(w->wrong_handle, 0) << "messages naming the other open's handle";
        }
    }
    static bool all_done(const wave_open &w, int count) {
        for (int i = 0; i < count; i++) {
            if (!buffer_done(&w, i))
                return false;
        }
        return w.done >= count;
    }
};

TEST_F(two_opens, EachHasItsOwnHandleAndNotifications) {
    EXPECT_NE(a.handle, b.handle);
    EXPECT_EQ(a.opened, 1);
    EXPECT_EQ(b.opened, 1);
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(write_buffer(&a, i), MMSYSERR_NOERROR);
        ASSERT_EQ(write_buffer(&b, i), MMSYSERR_NOERROR);
    }
    EXPECT_TRUE(wait_until([&] { return all_done(a, 2) && all_done(b, 2); }))
        << "done: " << a.done << " and " << b.done;
    EXPECT_EQ(a.done, 2);
    EXPECT_EQ(b.done, 2);
}

TEST_F(two_opens, PauseHoldsOnlyItsOwn) {
    ASSERT_EQ(waveOutPause(a.handle), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&a, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&b, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&b, 1), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(b, 2); })) << "the other open's done: " << b.done;
    EXPECT_FALSE(buffer_done(&a, 0)) << "a paused open played";
    EXPECT_EQ(position(&a, TIME_BYTES), 0u);
    ASSERT_EQ(waveOutRestart(a.handle), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(a, 1); })) << "after restart: " << a.done;
}

TEST_F(two_opens, ResetReturnsOnlyItsOwnBuffers) {
    // b is paused with its buffers queued: they stay queued through a's reset.
    ASSERT_EQ(waveOutPause(b.handle), MMSYSERR_NOERROR);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(write_buffer(&a, i), MMSYSERR_NOERROR);
        ASSERT_EQ(write_buffer(&b, i), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveOutReset(a.handle), MMSYSERR_NOERROR);
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(buffer_done(&a, i)) << "buffer " << i << " after its open's reset";
        EXPECT_FALSE(buffer_done(&b, i)) << "buffer " << i << " of the other open";
    }
    EXPECT_EQ(position(&a, TIME_BYTES), 0u) << "after reset";
    // Both play on: a from 0 again, b from where it was held.
    ASSERT_EQ(write_buffer(&a, 3), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutRestart(b.handle), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return buffer_done(&a, 3) && all_done(b, 3); }))
        << "done: " << a.done << " and " << b.done;
    EXPECT_EQ(position(&a, TIME_BYTES), a.bytes);
    EXPECT_EQ(position(&b, TIME_BYTES), 3 * b.bytes);
}

TEST_F(two_opens, ALoopHoldsOnlyItsOwn) {
    ASSERT_EQ(write_buffer(&a, 0, WHDR_BEGINLOOP | WHDR_ENDLOOP, 10000), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&b, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&b, 1), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(b, 2); })) << "beside a loop: " << b.done;
    // Breaking the other open's loop, where there is none, leaves a's alone.
    EXPECT_EQ(waveOutBreakLoop(b.handle), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&b, 2), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(b, 3); })) << "beside a loop: " << b.done;
    EXPECT_FALSE(buffer_done(&a, 0)) << "the loop ended by another open's break";
    EXPECT_EQ(waveOutBreakLoop(a.handle), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(a, 1); })) << "after its break: " << a.done;
}

TEST_F(two_opens, VolumeIsEachOpensOwn) {
    // Stereo: each word is a channel's volume.
    DWORD before_a = 0, got = 0;
    ASSERT_EQ(waveOutGetVolume(a.handle, &before_a), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutSetVolume(b.handle, 0x40002000), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutGetVolume(b.handle, &got), MMSYSERR_NOERROR);
    EXPECT_NEAR(LOWORD(got), 0x2000, 0x100) << std::hex << got;
    EXPECT_NEAR(HIWORD(got), 0x4000, 0x100) << std::hex << got;
    ASSERT_EQ(waveOutGetVolume(a.handle, &got), MMSYSERR_NOERROR);
    EXPECT_EQ(got, before_a) << std::hex << "the other open's volume";
}

TEST_F(two_opens, PositionCountsOnlyItsOwnSamples) {
    ASSERT_EQ(write_buffer(&a, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(write_buffer(&a, 1), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(a, 2); })) << a.done;
    EXPECT_EQ(position(&a, TIME_BYTES), 2 * a.bytes);
    // An open made after a's samples played starts at 0.
    wave_open c = {};
    make_buffers(&c, pcm22k, 100, 660);
    ASSERT_EQ(open_function(&c), MMSYSERR_NOERROR);
    EXPECT_EQ(position(&c, TIME_BYTES), 0u) << "on open";
    EXPECT_EQ(position(&b, TIME_BYTES), 0u) << "an open that played nothing";
    ASSERT_EQ(write_buffer(&c, 0), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(c, 1); })) << c.done;
    EXPECT_EQ(position(&c, TIME_BYTES), c.bytes);
    EXPECT_EQ(position(&c, TIME_SAMPLES), c.bytes / c.format.nBlockAlign);
    UINT type = 0;
    DWORD ms = position(&c, TIME_MS, &type);
    if (type == TIME_MS)
        EXPECT_NEAR((double)ms, 100.0, 1.0);
    else
        EXPECT_EQ(ms, c.bytes) << "TIME_MS answered as type " << type;
    EXPECT_EQ(position(&a, TIME_BYTES), 2 * a.bytes) << "after another open played";
    unprepare_all(&c);
    EXPECT_EQ(waveOutClose(c.handle), MMSYSERR_NOERROR);
}

// The older open closes while the newer one plays: the newer plays on with
// its own notifications; the closed handle is gone.
TEST_F(two_opens, ClosingTheOlderLeavesTheNewerPlaying) {
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(write_buffer(&b, i), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(a.handle), MMSYSERR_NOERROR);
    EXPECT_EQ(a.closed, 1) << "WOM_CLOSE at the closed open's instance";
    EXPECT_EQ(b.closed, 0) << "WOM_CLOSE at the open still playing";
    EXPECT_TRUE(wait_until([&] { return all_done(b, 3); }))
        << "after the other's close: " << b.done;
    // A second close of the closed handle fails and ends nothing.
    EXPECT_EQ(waveOutClose(a.handle), (MMRESULT)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutWrite(a.handle, &a.headers[0], sizeof(WAVEHDR)),
              (MMRESULT)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(b.closed, 0);
    ASSERT_EQ(write_buffer(&b, 3), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return all_done(b, 4); })) << "after a second close: " << b.done;
    EXPECT_EQ(a.closed, 1);
}

// Two opens that name one event: each open's WOM_OPEN, WOM_DONE and
// WOM_CLOSE set it.
TEST(SameTarget, OneEventForTwoOpens) {
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    wave_open a = {}, b = {};
    make_buffers(&a, pcm8k, 100, 440);
    make_buffers(&b, pcm8k, 100, 440);
    ASSERT_EQ(open_with(&a, (DWORD_PTR)event, 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0) << "first open's WOM_OPEN";
    ResetEvent(event);
    ASSERT_EQ(open_with(&b, (DWORD_PTR)event, 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0) << "second open's WOM_OPEN";
    EXPECT_NE(a.handle, b.handle);
    ResetEvent(event);
    ASSERT_EQ(write_buffer(&b, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(event, 20000), WAIT_OBJECT_0) << "WOM_DONE";
    EXPECT_TRUE(wait_until([&] { return buffer_done(&b, 0); }));
    unprepare_all(&b);
    for (wave_open *w : {&a, &b}) {
        ResetEvent(event);
        EXPECT_EQ(waveOutClose(w->handle), MMSYSERR_NOERROR);
        EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0) << "WOM_CLOSE";
    }
    CloseHandle(event);
}

// A sound DLL opens and plays through its own callback; the program opens
// beside it and prepares its buffers. The DLL closes and is unloaded, and
// the program plays on: nothing may reach the DLL any more.
TEST(SoundDll, UnloadedWhileTheProgramPlaysOn) {
    HMODULE lib = LoadLibraryA("sound_lib.dll");
    ASSERT_NE(lib, (HMODULE)NULL) << GetLastError();
    typedef int(WINAPI * step_fn)(void);
    step_fn start = (step_fn)(void (*)(void))GetProcAddress(lib, "sound_lib_start");
    step_fn finish = (step_fn)(void (*)(void))GetProcAddress(lib, "sound_lib_finish");
    ASSERT_TRUE(start && finish);
    EXPECT_EQ(start(), 0) << "the DLL's open and write (see sound_lib.c)";
    wave_open p = {};
    make_buffers(&p, pcm8k, 100, 440);
    ASSERT_EQ(open_function(&p), MMSYSERR_NOERROR);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(prepare_buffer(&p, i), MMSYSERR_NOERROR);
    EXPECT_EQ(finish(), 0) << "the DLL's WOM_DONE and close (see sound_lib.c)";
    ASSERT_TRUE(FreeLibrary(lib));
    ASSERT_EQ(GetModuleHandleA("sound_lib.dll"), (HMODULE)NULL);
    EXPECT_EQ(p.closed, 0) << "WOM_CLOSE of the DLL's open at the program's";
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(waveOutWrite(p.handle, &p.headers[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_TRUE(wait_until([&] { return p.done >= 3 && buffer_done(&p, 2); })) << p.done;
    EXPECT_EQ(p.done, 3);
    EXPECT_EQ(p.foreign_done, 0);
    unprepare_all(&p);
    EXPECT_EQ(waveOutClose(p.handle), MMSYSERR_NOERROR);
    EXPECT_EQ(p.closed, 1);
}

// The opens the platform refuses are refused, with its error: a device id
// that does not exist, formats it cannot play, a window that is gone. The
// platform's own answer comes from the system's winmm, loaded by its full
// path beside whatever winmm.dll the program is bound to. The program holds
// an open meanwhile. A closed handle is refused too, as the platform
// refuses it.
TEST(Checks, RefusedAsThePlatformRefuses) {
    char path[MAX_PATH];
    UINT n = GetSystemDirectoryA(path, MAX_PATH - 16);
    ASSERT_TRUE(n > 0 && n < MAX_PATH - 16);
    lstrcatA(path, "\\winmm.dll");
    HMODULE system = LoadLibraryA(path);
    ASSERT_NE(system, (HMODULE)NULL);
    typedef MMRESULT(WINAPI * open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR,
                                       DWORD);
    typedef MMRESULT(WINAPI * close_fn)(HWAVEOUT);
    open_fn platform_open = (open_fn)(void (*)(void))GetProcAddress(system, "waveOutOpen");
    close_fn platform_close = (close_fn)(void (*)(void))GetProcAddress(system, "waveOutClose");
    ASSERT_TRUE(platform_open && platform_close);

    // A window that is gone. Without a display Wine may make no window at
    // all; a handle that never was one is then just as gone.
    HWND gone = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    if (gone)
        DestroyWindow(gone);
    else
        gone = (HWND)(ULONG_PTR)0x7ff0c;
    ASSERT_FALSE(IsWindow(gone));
    WAVEFORMATEX twelve_bits = pcm_format(22050, 16, 2);
    twelve_bits.wBitsPerSample = 12;
    WAVEFORMATEX no_channels = pcm_format(22050, 16, 2);
    no_channels.nChannels = 0;
    const WAVEFORMATEX good = pcm_format(22050, 16, 2);
    struct {
        const char *what;
        UINT device;
        const WAVEFORMATEX *format;
        DWORD_PTR target;
        DWORD flags;
    } cases[] = {
        {"device id 99", 99, &good, 0, CALLBACK_NULL},
        {"12-bit samples", WAVE_MAPPER, &twelve_bits, 0, CALLBACK_NULL},
        {"no channels", WAVE_MAPPER, &no_channels, 0, CALLBACK_NULL},
        {"a destroyed window", WAVE_MAPPER, &good, (DWORD_PTR)gone, CALLBACK_WINDOW},
    };
    // With a device of the program's open meanwhile.
    wave_open w = {};
    make_buffers(&w, good, 50, 440);
    ASSERT_EQ(open_function(&w), MMSYSERR_NOERROR);
    for (const auto &c : cases) {
        HWAVEOUT h = NULL, p = NULL;
        MMRESULT expected = platform_open(&p, c.device, c.format, c.target, 0, c.flags);
        if (expected == MMSYSERR_NOERROR)
            platform_close(p);
        // Wine's mapper takes some odd formats and converts them; a device
        // id or a window never is.
        if (c.device == 99 || c.flags == CALLBACK_WINDOW) {
            EXPECT_NE(expected, (MMRESULT)MMSYSERR_NOERROR) << c.what << ": the platform took it";
        }
        MMRESULT got = waveOutOpen(&h, c.device, c.format, c.target, 0, c.flags);
        if (got == MMSYSERR_NOERROR)
            waveOutClose(h);
        EXPECT_EQ(got, expected) << c.what;
    }

    ASSERT_EQ(prepare_buffer(&w, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutUnprepareHeader(w.handle, &w.headers[0], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(w.handle), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(w.handle), (MMRESULT)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPrepareHeader(w.handle, &w.headers[0], sizeof(WAVEHDR)),
              (MMRESULT)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPause(w.handle), (MMRESULT)MMSYSERR_INVALHANDLE);
    FreeLibrary(system);
}
