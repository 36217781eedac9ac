/* A small program that treats the sound device the way the programs sndlatch
 * helps do: every "scene" opens the wave output device again, without closing
 * the one before, and plays a short tone on whatever handle it got.
 *
 *   demo.exe [OPENS]      (default 3)
 *
 * Prints one line per open with its result and handle, then a summary line:
 *   opens 3, distinct handles 1, tones played 3
 * Exits 0 when every open succeeded and every tone played. */

#include <windows.h>
#include <mmsystem.h>
#include <stdio.h>
#include <stdlib.h>

enum { RATE = 22050, TONE_MS = 400, MAX_OPENS = 16 };

static short tone[RATE * TONE_MS / 1000];

/* A 440 Hz triangle wave with short fades, so that each tone is heard apart. */
static void make_tone(void) {
    const int n = sizeof tone / sizeof tone[0];
    const int period = RATE / 440, fade = RATE / 100, amp = 12000;
    for (int i = 0; i < n; i++) {
        int t = i % period;
        int v = t < period / 2 ? 4 * t * amp / period - amp : 3 * amp - 4 * t * amp / period;
        int gain = i < fade ? i : n - i < fade ? n - i : fade;
        tone[i] = (short)(v * gain / fade);
    }
}

/* Plays the tone on `h` and waits until the device has played it. */
static int play(HWAVEOUT h) {
    WAVEHDR hdr;
    ZeroMemory(&hdr, sizeof hdr);
    hdr.lpData = (LPSTR)tone;
    hdr.dwBufferLength = sizeof tone;
    if (waveOutPrepareHeader(h, &hdr, sizeof hdr) != MMSYSERR_NOERROR)
        return 0;
    int ok = waveOutWrite(h, &hdr, sizeof hdr) == MMSYSERR_NOERROR;
    for (int waited = 0; ok && !(hdr.dwFlags & WHDR_DONE); waited += 10) {
        if (waited > 10 * TONE_MS + 5000) {
            waveOutReset(h);
            ok = 0;
        }
        Sleep(10);
    }
    waveOutUnprepareHeader(h, &hdr, sizeof hdr);
    return ok;
}

int main(int argc, char **argv) {
    int opens = argc > 1 ? atoi(argv[1]) : 3;
    if (opens < 1 || opens > MAX_OPENS) {
        fprintf(stderr, "usage: demo.exe [OPENS]   (1 to %d, default 3)\n", MAX_OPENS);
        return 2;
    }
    make_tone();
    setvbuf(stdout, NULL, _IONBF, 0);

    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, RATE, RATE * 2, 2, 16, 0};
    HWAVEOUT handles[MAX_OPENS];
    int distinct = 0, played = 0, failed = 0;
    for (int i = 0; i < opens; i++) {
        HWAVEOUT h = NULL;
        MMRESULT r = waveOutOpen(&h, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
        printf("open %d: result %u handle 0x%08lx\n", i + 1, r, (unsigned long)(ULONG_PTR)h);
        if (r != MMSYSERR_NOERROR) {
            failed++;
            continue;
        }
        int seen = 0;
        for (int j = 0; j < distinct; j++)
            seen |= handles[j] == h;
        if (!seen)
            handles[distinct++] = h;
        played += play(h);
    }
    printf("opens %d, distinct handles %d, tones played %d\n", opens, distinct, played);
    /* Like the programs it imitates, it leaves the devices open on exit. */
    return failed == 0 && played == opens - failed ? 0 : 1;
}
