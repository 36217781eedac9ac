// The drop-in's first open when the program's WOM_OPEN callback misbehaves:
// the drop-in calls that callback on the opening thread before the open
// returns, as the platform does. The module state lasts for the whole
// process, so the cases run in order: the first open raises, the second
// makes the first open that succeeds.

#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include "../open_once/first_open_faults.h"

static const WAVEFORMATEX pcm = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
static const HWAVEOUT poison = (HWAVEOUT)0xdeadbeef;
static const DWORD raised = 0xe0000001;

// What the callback does on WOM_OPEN: raise, or open once more.
struct on_open {
    bool raise;
    int calls;
    MMRESULT result;
    HWAVEOUT handle;
};

static void CALLBACK on_wom_open(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    on_open *o = (on_open *)instance;
    if (message != WOM_OPEN || o->calls++)
        return;
    if (o->raise)
        raise_through(raised);
    o->result = waveOutOpen(&o->handle, WAVE_MAPPER, &pcm, 0, 0, CALLBACK_NULL);
}

static MMRESULT open_notified(HWAVEOUT *slot, on_open *o) {
    return waveOutOpen(slot, WAVE_MAPPER, &pcm, (DWORD_PTR)on_wom_open, (DWORD_PTR)o,
                       CALLBACK_FUNCTION);
}

// The open after the exception, made from another thread, and the open its
// WOM_OPEN callback makes; the second case checks what they got.
static on_open reentered = {false, 0, ~0u, poison};
static HWAVEOUT first = poison;

// An exception that leaves the first open leaves nothing held: the next
// open, from another thread, gets its WOM_OPEN instead of waiting for ever.
TEST(DropInFirstOpen, AnExceptionFromWomOpenLetsTheNextOpenThrough) {
    on_open o = {true, 0, ~0u, poison};
    HWAVEOUT slot = poison;
    DWORD code = 0;
    ASSERT_TRUE(finishes_within(20000, [&] {
        code = catch_exception([&] { open_notified(&slot, &o); });
    })) << "the open that raised never returned";
    ASSERT_EQ(o.calls, 1) << "no WOM_OPEN";
    EXPECT_EQ(code, raised);

    MMRESULT result = ~0u;
    ASSERT_TRUE(finishes_within(20000, [&] { result = open_notified(&first, &reentered); }))
        << "the next open never returned";
    EXPECT_EQ(result, MMSYSERR_NOERROR);
    EXPECT_EQ(reentered.calls, 1) << "the next open got no WOM_OPEN";
}

// The open that the callback made on the thread inside the first open got a
// handle of its own, and so does every later open.
TEST(DropInFirstOpen, AnOpenFromWomOpenReachesThePlatform) {
    ASSERT_EQ(reentered.calls, 1);
    EXPECT_EQ(reentered.result, MMSYSERR_NOERROR);
    EXPECT_NE(reentered.handle, first) << "the open from WOM_OPEN was answered from memory";

    HWAVEOUT later = poison;
    EXPECT_EQ(waveOutOpen(&later, WAVE_MAPPER, &pcm, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(later, first);
    EXPECT_NE(later, reentered.handle);
    EXPECT_EQ(waveOutClose(later), MMSYSERR_NOERROR);
    if (reentered.result == MMSYSERR_NOERROR && reentered.handle != first) {
        EXPECT_EQ(waveOutClose(reentered.handle), MMSYSERR_NOERROR);
    }
}
