// End-to-end tests of sndlatch.dll's export, with the stand-in WINMM.DLL in
// place of the platform. Each test loads the module afresh, so it starts with
// no device open.

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <thread>
#include <vector>

#include "../winmm_stub/winmm_stub.h"
#include "first_open_faults.h"

typedef MMRESULT(WINAPI *open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);

static const HWAVEOUT first_handle = (HWAVEOUT)0xff00;
static const HWAVEOUT poison = (HWAVEOUT)0xdeadbeef;

class OpenOnce : public ::testing::Test {
  protected:
    HMODULE module = NULL;
    open_fn open = NULL;

    void SetUp() override {
        stub_reset(first_handle);
        module = LoadLibraryA("sndlatch.dll");
        ASSERT_NE(module, (HMODULE)NULL) << "LoadLibrary error " << GetLastError();
        // Through void (*)(void), the type that GCC accepts between function types.
        open = (open_fn)(void (*)(void))GetProcAddress(module, "sndlatch");
        ASSERT_NE(open, (open_fn)NULL);
    }
    void TearDown() override {
        if (module) {
            EXPECT_TRUE(FreeLibrary(module));
        }
    }

    MMRESULT open_into(HWAVEOUT *slot, UINT device = WAVE_MAPPER, DWORD flags = CALLBACK_NULL) {
        static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
        return open(slot, device, &format, 0, 0, flags);
    }
};

TEST_F(OpenOnce, FirstOpenPassesSixValuesAndAnswerUnchanged) {
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    HWAVEOUT slot = poison;
    stub_answer(MMSYSERR_NOERROR, (HWAVEOUT)0x1234, 0);
    MMRESULT r = open(&slot, 7, &format, 0xc0ffee, 0xfeed, CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
    EXPECT_EQ(r, MMSYSERR_NOERROR);
    EXPECT_EQ(slot, (HWAVEOUT)0x1234);
    ASSERT_EQ(stub_calls(), 1);
    stub_open_call c = stub_last_call();
    EXPECT_EQ(c.phwo, &slot);
    EXPECT_EQ(c.uDeviceID, 7u);
    EXPECT_EQ(c.pwfx, &format);
    EXPECT_EQ(c.dwCallback, (DWORD_PTR)0xc0ffee);
    EXPECT_EQ(c.dwInstance, (DWORD_PTR)0xfeed);
    EXPECT_EQ(c.fdwOpen, (DWORD)(CALLBACK_FUNCTION | WAVE_ALLOWSYNC));
}

TEST_F(OpenOnce, LaterOpensGetFirstHandleWithoutReachingPlatform) {
    HWAVEOUT slot = poison;
    ASSERT_EQ(open_into(&slot), MMSYSERR_NOERROR);
    ASSERT_EQ(slot, first_handle);

    // Whatever the platform would answer now, it is not asked.
    stub_answer(MMSYSERR_ALLOCATED, (HWAVEOUT)0x9999, 0);
    WAVEFORMATEX other = {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    for (int i = 0; i < 100; i++) {
        HWAVEOUT later = poison;
        MMRESULT r = open(&later, (UINT)i, i % 2 ? &other : NULL, (DWORD_PTR)i, (DWORD_PTR)~i,
                          i % 3 ? CALLBACK_EVENT : CALLBACK_WINDOW);
        ASSERT_EQ(r, MMSYSERR_NOERROR) << "call " << i;
        ASSERT_EQ(later, first_handle) << "call " << i;
    }
    EXPECT_EQ(stub_calls(), 1);
}

TEST_F(OpenOnce, FailedOpenIsNotRememberedAndNextOpenRetries) {
    HWAVEOUT slot = poison;
    stub_answer(MMSYSERR_ALLOCATED, first_handle, 0);
    EXPECT_EQ(open_into(&slot), (MMRESULT)MMSYSERR_ALLOCATED);
    EXPECT_EQ(slot, poison) << "the module wrote into the slot of a failed open";
    stub_answer(MMSYSERR_BADDEVICEID, first_handle, 0);
    EXPECT_EQ(open_into(&slot), (MMRESULT)MMSYSERR_BADDEVICEID);
    EXPECT_EQ(stub_calls(), 2);

    stub_answer(MMSYSERR_NOERROR, (HWAVEOUT)0x4321, 0);
    EXPECT_EQ(open_into(&slot), MMSYSERR_NOERROR);
    EXPECT_EQ(slot, (HWAVEOUT)0x4321);
    HWAVEOUT later = poison;
    EXPECT_EQ(open_into(&later), MMSYSERR_NOERROR);
    EXPECT_EQ(later, (HWAVEOUT)0x4321);
    EXPECT_EQ(stub_calls(), 3);
}

// Requests that open no device go to the platform unchanged, before and after
// the first open, and leave the module's state alone.
TEST_F(OpenOnce, QueriesAndNullSlotsAlwaysReachPlatform) {
    struct request {
        const char *what;
        bool null_slot;
        DWORD flags;
        MMRESULT answer;
    };
    const request requests[] = {
        {"format query", false, WAVE_FORMAT_QUERY, WAVERR_BADFORMAT},
        {"format query accepted", false, WAVE_FORMAT_QUERY, MMSYSERR_NOERROR},
        {"query with other flags", false, WAVE_FORMAT_QUERY | CALLBACK_FUNCTION, MMSYSERR_NOERROR},
        {"null slot", true, CALLBACK_NULL, MMSYSERR_INVALPARAM},
        {"null slot query", true, WAVE_FORMAT_QUERY, MMSYSERR_NOERROR},
    };
    for (int opened = 0; opened < 2; opened++) {
        if (opened) {
            stub_answer(MMSYSERR_NOERROR, first_handle, 0);
            HWAVEOUT slot = poison;
            ASSERT_EQ(open_into(&slot), MMSYSERR_NOERROR);
            ASSERT_EQ(slot, first_handle);
        }
        for (const request &q : requests) {
            LONG before = stub_calls();
            HWAVEOUT slot = poison;
            stub_answer(q.answer, (HWAVEOUT)0x7777, 0);
            MMRESULT r = open_into(q.null_slot ? NULL : &slot, WAVE_MAPPER, q.flags);
            EXPECT_EQ(r, q.answer) << q.what << ", opened=" << opened;
            EXPECT_EQ(stub_calls(), before + 1) << q.what << ", opened=" << opened;
            EXPECT_EQ(stub_last_call().fdwOpen, q.flags) << q.what;
            if (!q.null_slot) {
                EXPECT_EQ(slot, q.answer == MMSYSERR_NOERROR ? (HWAVEOUT)0x7777 : poison)
                    << q.what << ", opened=" << opened;
            }
        }
    }
    // None of the queries counted as the first open, and none replaced its handle.
    stub_answer(MMSYSERR_NOERROR, (HWAVEOUT)0x5555, 0);
    HWAVEOUT slot = poison;
    LONG before = stub_calls();
    EXPECT_EQ(open_into(&slot), MMSYSERR_NOERROR);
    EXPECT_EQ(slot, first_handle);
    EXPECT_EQ(stub_calls(), before);
}

TEST_F(OpenOnce, QueryBeforeFirstOpenDoesNotLatch) {
    HWAVEOUT slot = poison;
    ASSERT_EQ(open_into(&slot, WAVE_MAPPER, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    stub_answer(MMSYSERR_NOERROR, (HWAVEOUT)0x2222, 0);
    EXPECT_EQ(open_into(&slot), MMSYSERR_NOERROR);
    EXPECT_EQ(slot, (HWAVEOUT)0x2222);
    EXPECT_EQ(stub_calls(), 2);
}

TEST_F(OpenOnce, SimultaneousFirstOpensReachPlatformOnce) {
    const int threads = 16;
    stub_answer(MMSYSERR_NOERROR, (HWAVEOUT)0xabc0, 200);
    HANDLE start = CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<HWAVEOUT> slots(threads, poison);
    std::vector<MMRESULT> results(threads, ~0u);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back([&, i] {
            WaitForSingleObject(start, INFINITE);
            results[i] = open_into(&slots[i]);
        });
    Sleep(50);
    SetEvent(start);
    for (std::thread &t : pool)
        t.join();
    CloseHandle(start);

    EXPECT_EQ(stub_calls(), 1);
    EXPECT_EQ(stub_max_in_flight(), 1);
    for (int i = 0; i < threads; i++) {
        EXPECT_EQ(results[i], MMSYSERR_NOERROR) << "thread " << i;
        EXPECT_EQ(slots[i], (HWAVEOUT)0xabc0) << "thread " << i;
    }
}

// The export is stdcall: the callee removes its 24 bytes of arguments. Push
// them by hand and compare the stack pointer before and after the call.
TEST_F(OpenOnce, CalleeRemovesTwentyFourBytes) {
    HWAVEOUT slot = poison;
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    MMRESULT result = ~0u;
    unsigned moved = 0;
    for (int round = 0; round < 2; round++) {
        __asm__ volatile(
            "movl %%esp, %%esi\n\t"
            "pushl %[flags]\n\t"
            "pushl $0\n\t"
            "pushl $0\n\t"
            "pushl %[fmt]\n\t"
            "pushl $-1\n\t"
            "pushl %[slot]\n\t"
            "call *%[fn]\n\t"
            "movl %%esi, %%ecx\n\t"
            "subl %%esp, %%ecx\n\t"
            "movl %%esi, %%esp\n\t"
            : "=a"(result), "=c"(moved)
            : [fn] "r"(open), [slot] "r"(&slot), [fmt] "r"(&format), [flags] "i"(CALLBACK_NULL)
            : "esi", "edx", "memory");
        EXPECT_EQ(result, MMSYSERR_NOERROR) << "round " << round;
        EXPECT_EQ(slot, first_handle) << "round " << round;
        EXPECT_EQ(moved, 0u) << "bytes left on the stack, round " << round;
    }
    EXPECT_EQ(stub_calls(), 1);
}

static DWORD WINAPI idle_thread(LPVOID) {
    return 0;
}

// A thread that starts and ends delivers thread attach and detach to the
// module; neither may reset the open device.
TEST_F(OpenOnce, ThreadAttachAndDetachResetNothing) {
    HWAVEOUT slot = poison;
    ASSERT_EQ(open_into(&slot), MMSYSERR_NOERROR);
    HANDLE t = CreateThread(NULL, 0, idle_thread, NULL, 0, NULL);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    HWAVEOUT later = poison;
    EXPECT_EQ(open_into(&later), MMSYSERR_NOERROR);
    EXPECT_EQ(later, first_handle);
    EXPECT_EQ(stub_calls(), 1);
}

// A first open that an exception leaves, through a fault in the platform or
// a WOM_OPEN callback that raises, is as if it had failed: the next open
// reaches the platform at once and is remembered. And an open made from the
// WOM_OPEN callback, on the thread inside the first open, goes to the
// platform and is not remembered. Each case runs on a thread of its own, so
// that an open that waits for ever fails it.
struct reentry {
    open_fn open;
    MMRESULT result;
    HWAVEOUT slot;
    bool raise;
};

static void CALLBACK on_wom_open(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    reentry *r = (reentry *)instance;
    if (message != WOM_OPEN)
        return;
    if (r->raise)
        RaiseException(0xe0000001, 0, 0, NULL);
    static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    stub_answer(MMSYSERR_NOERROR, (HWAVEOUT)0x2222, 0);
    r->result = r->open(&r->slot, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
}

TEST_F(OpenOnce, ExceptionLeavingTheFirstOpenLetsTheNextOpenThrough) {
    stub_notify(TRUE);
    for (int raise = 0; raise < 2; raise++) {
        const char *how = raise ? "raised in WOM_OPEN" : "fault in the platform";
        reentry r = {open, ~0u, poison, true};
        HWAVEOUT slot = poison;
        DWORD code = ~0u;
        MMRESULT next = ~0u;
        LONG before = stub_calls();
        ASSERT_TRUE(finishes_within(10000, [&] {
            code = catch_exception([&] {
                // The platform stores the handle through a bad slot, or calls back.
                if (raise)
                    open(&slot, WAVE_MAPPER, NULL, (DWORD_PTR)on_wom_open, (DWORD_PTR)&r,
                         CALLBACK_FUNCTION);
                else
                    open((HWAVEOUT *)16, WAVE_MAPPER, NULL, 0, 0, CALLBACK_NULL);
            });
        })) << how;
        // From another thread: the one the exception left is gone.
        ASSERT_TRUE(finishes_within(10000, [&] { next = open_into(&slot); }))
            << how << ": the next open never returned";
        // The platform's bad write ends in an exception, whose code is the
        // system's business: an access violation natively, an illegal
        // instruction where Wine runs under qemu-i386 and cannot tell the
        // trap apart. What matters is that one left the open, and that the
        // latch lets the next open through (below).
        if (raise)
            EXPECT_EQ(code, 0xe0000001u) << how;
        else
            EXPECT_NE(code, 0u) << how << ": the open returned instead of raising";
        EXPECT_EQ(next, MMSYSERR_NOERROR) << how;
        EXPECT_EQ(slot, first_handle) << how;
        EXPECT_EQ(stub_calls(), before + 2) << how << ": the next open did not reach the platform";
        // That open is remembered; the next case starts from no device again.
        HWAVEOUT later = poison;
        EXPECT_EQ(open_into(&later), MMSYSERR_NOERROR);
        EXPECT_EQ(later, first_handle) << how;
        EXPECT_EQ(stub_calls(), before + 2) << how;
        TearDown();
        SetUp();
        stub_notify(TRUE);
    }
}

TEST_F(OpenOnce, OpenFromWomOpenGoesToThePlatformAndIsNotRemembered) {
    stub_notify(TRUE);
    reentry r = {open, ~0u, poison, false};
    HWAVEOUT slot = poison;
    MMRESULT outer = ~0u;
    ASSERT_TRUE(finishes_within(10000, [&] {
        outer = open(&slot, WAVE_MAPPER, NULL, (DWORD_PTR)on_wom_open, (DWORD_PTR)&r,
                     CALLBACK_FUNCTION);
    })) << "the open from WOM_OPEN never returned";
    EXPECT_EQ(outer, MMSYSERR_NOERROR);
    EXPECT_EQ(slot, first_handle);
    EXPECT_EQ(r.result, MMSYSERR_NOERROR);
    EXPECT_EQ(r.slot, (HWAVEOUT)0x2222) << "the re-entered open was not the platform's";
    EXPECT_EQ(stub_calls(), 2);
    HWAVEOUT later = poison;
    EXPECT_EQ(open_into(&later), MMSYSERR_NOERROR);
    EXPECT_EQ(later, first_handle) << "the re-entered open was remembered";
    EXPECT_EQ(stub_calls(), 2);
}
