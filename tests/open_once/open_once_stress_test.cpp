// Many rounds of racing first opens and long runs of answered opens, against
// the built sndlatch.dll with the stand-in WINMM.DLL, reloading the module
// whenever a round needs a fresh start.

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <thread>
#include <vector>

#include "../winmm_stub/winmm_stub.h"

typedef MMRESULT(WINAPI *open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);

static const HWAVEOUT poison = (HWAVEOUT)0xdeadbeef;
static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};

static HMODULE load(open_fn *open) {
    HMODULE m = LoadLibraryA("sndlatch.dll");
    *open = m ? (open_fn)(void (*)(void))GetProcAddress(m, "sndlatch") : NULL;
    return m;
}

struct race_result {
    std::vector<MMRESULT> results;
    std::vector<HWAVEOUT> slots;
};

// Starts `threads` threads that wait on one event, then all open at once.
static race_result race(open_fn open, int threads) {
    race_result r{std::vector<MMRESULT>(threads, ~0u), std::vector<HWAVEOUT>(threads, poison)};
    HANDLE start = CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back([&, i] {
            WaitForSingleObject(start, INFINITE);
            r.results[i] = open(&r.slots[i], WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
        });
    Sleep(5);
    SetEvent(start);
    for (std::thread &t : pool)
        t.join();
    CloseHandle(start);
    return r;
}

TEST(OpenOnceStress, HundredRoundsOfThirtyTwoRacingFirstOpens) {
    const int rounds = 100, threads = 32;
    int bad_rounds = 0;
    for (int round = 0; round < rounds && bad_rounds < 3; round++) {
        HWAVEOUT handle = (HWAVEOUT)(LONG_PTR)(0x10000 + round);
        stub_reset(handle);
        stub_answer(MMSYSERR_NOERROR, handle, 20);
        open_fn open;
        HMODULE m = load(&open);
        ASSERT_NE(m, (HMODULE)NULL) << "round " << round;
        race_result r = race(open, threads);
        int wrong = 0;
        for (int i = 0; i < threads; i++)
            wrong += r.results[i] != MMSYSERR_NOERROR || r.slots[i] != handle;
        EXPECT_EQ(stub_calls(), 1) << "round " << round;
        EXPECT_EQ(wrong, 0) << "round " << round << ": callers without the one handle";
        bad_rounds += stub_calls() != 1 || wrong != 0;
        ASSERT_TRUE(FreeLibrary(m));
    }
}

TEST(OpenOnceStress, FailedRaceHandsOutNoHandleAndNextRoundOpens) {
    const int threads = 32;
    stub_reset(poison);
    stub_answer(MMSYSERR_ALLOCATED, (HWAVEOUT)0x1111, 10);
    open_fn open;
    HMODULE m = load(&open);
    ASSERT_NE(m, (HMODULE)NULL);

    race_result failed = race(open, threads);
    EXPECT_GE(stub_calls(), 1);
    for (int i = 0; i < threads; i++) {
        EXPECT_EQ(failed.results[i], (MMRESULT)MMSYSERR_ALLOCATED) << "thread " << i;
        EXPECT_EQ(failed.slots[i], poison) << "thread " << i << " got a handle";
    }

    // The same loaded module opens on the next round, once.
    stub_reset((HWAVEOUT)0x2222);
    stub_answer(MMSYSERR_NOERROR, (HWAVEOUT)0x2222, 10);
    race_result opened = race(open, threads);
    EXPECT_EQ(stub_calls(), 1);
    for (int i = 0; i < threads; i++) {
        EXPECT_EQ(opened.results[i], MMSYSERR_NOERROR) << "thread " << i;
        EXPECT_EQ(opened.slots[i], (HWAVEOUT)0x2222) << "thread " << i;
    }
    FreeLibrary(m);
}

TEST(OpenOnceStress, EightThreadsOfAMillionAnsweredOpens) {
    const int threads = 8, calls = 1000000;
    stub_reset((HWAVEOUT)0x3333);
    open_fn open;
    HMODULE m = load(&open);
    ASSERT_NE(m, (HMODULE)NULL);
    HWAVEOUT first = poison;
    ASSERT_EQ(open(&first, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);

    std::vector<long> wrong(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            for (int i = 0; i < calls; i++) {
                HWAVEOUT slot = poison;
                MMRESULT r = open(&slot, (UINT)i, &format, (DWORD_PTR)t, 0, CALLBACK_NULL);
                wrong[t] += r != MMSYSERR_NOERROR || slot != (HWAVEOUT)0x3333;
            }
        });
    for (std::thread &t : pool)
        t.join();
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
    EXPECT_EQ(stub_calls(), 1);
    FreeLibrary(m);
}
