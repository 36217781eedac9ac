/* A small program that treats the sound device the way the programs sndlatch
 * helps do: every "scene" opens the wave output device again, without closing
 * the one before, and plays a short tone on whatever handle it got.
 *
 *   demo.exe [OPENS [together]]      (default 3)
 *
 * Prints one line per open with its result and handle, then a summary line:
 *   opens 3, distinct handles 1, tones played 3
 * With "together", a last scene then plays two sounds at once: the tone on
 * the first open's handle and a higher one on the second open's, and prints
 *   together: 2 tones written at once, 2 played
 * Exits 0 when every open succeeded and every tone played. */

#include <windows.h>
#include <mmsystem.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { RATE = 22050, TONE_MS = 400, MAX_OPENS = 16 };

static short tone[RATE * TONE_MS / 1000], high_tone[RATE * TONE_MS / 1000];

/* A triangle wave of `hz` with short fades, so that each tone is heard apart. */
static void make_tone(short *tone, int hz) {
    const int n = RATE * TONE_MS / 1000;
    const int period = RATE / hz, fade = RATE / 100, amp = 12000;
    for (int i = 0; i < n; i++) {
        int t = i % period;
        int v = t < period / 2 ? 4 * t * amp / period - amp : 3 * amp - 4 * t * amp / period;
        int gain = i < fade ? i : n - i < fade ? n - i : fade;
        tone[i] = (short)(v * gain / fade);
    }
}

/* Writes `count` tones, tones[i] on handles[i], all at once, and waits until
 * the devices have played them. Returns how many played. */
static int play_at_once(const HWAVEOUT *handles, short *const *tones, int count) {
    WAVEHDR hdr[2];
    int ok[2], played = 0;
    for (int i = 0; i < count; i++) {
        ZeroMemory(&hdr[i], sizeof hdr[i]);
        hdr[i].lpData = (LPSTR)tones[i];
        hdr[i].dwBufferLength = sizeof tone;
        ok[i] = waveOutPrepareHeader(handles[i], &hdr[i], sizeof hdr[i]) == MMSYSERR_NOERROR &&
                waveOutWrite(handles[i], &hdr[i], sizeof hdr[i]) == MMSYSERR_NOERROR;
    }
    for (int i = 0; i < count; i++) {
        for (int waited = 0; ok[i] && !(hdr[i].dwFlags & WHDR_DONE); waited += 10) {
            if (waited > 10 * TONE_MS * count + 5000) {
                waveOutReset(handles[i]);
                ok[i] = 0;
            }
            Sleep(10);
        }
        waveOutUnprepareHeader(handles[i], &hdr[i], sizeof hdr[i]);
        played += ok[i];
    }
    return played;
}

/* Plays the tone on `h` and waits until the device has played it. */
static int play(HWAVEOUT h) {
    short *tones[1] = {tone};
    return play_at_once(&h, tones, 1);
}

int main(int argc, char **argv) {
    int opens = argc > 1 ? atoi(argv[1]) : 3;
    if (opens < 1 || opens > MAX_OPENS) {
        fprintf(stderr, "usage: demo.exe [OPENS [together]]   (1 to %d, default 3)\n", MAX_OPENS);
        return 2;
    }
    int together = argc > 2 && strcmp(argv[2], "together") == 0;
    make_tone(tone, 440);
    make_tone(high_tone, 660);
    setvbuf(stdout, NULL, _IONBF, 0);

    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, RATE, RATE * 2, 2, 16, 0};
    HWAVEOUT handles[MAX_OPENS], opened[MAX_OPENS];
    int distinct = 0, played = 0, failed = 0;
    for (int i = 0; i < opens; i++) {
        HWAVEOUT h = NULL;
        MMRESULT r = waveOutOpen(&h, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
        printf("open %d: result %u handle 0x%08lx\n", i + 1, r, (unsigned long)(ULONG_PTR)h);
        if (r != MMSYSERR_NOERROR) {
            failed++;
            continue;
        }
        opened[i - failed] = h;
        int seen = 0;
        for (int j = 0; j < distinct; j++)
            seen |= handles[j] == h;
        if (!seen)
            handles[distinct++] = h;
        played += play(h);
    }
    printf("opens %d, distinct handles %d, tones played %d\n", opens, distinct, played);
    if (together) {
        /* Two sounds at once, on the first two opens that succeeded. */
        short *tones[2] = {tone, high_tone};
        int count = opens - failed < 2 ? opens - failed : 2;
        int at_once = play_at_once(opened, tones, count);
        printf("together: %d tones written at once, %d played\n", count, at_once);
        played += at_once - count;
    }
    /* Like the programs it imitates, it leaves the devices open on exit. */
    return failed == 0 && played == opens - failed ? 0 : 1;
}
