/* A 50 MB host for timing sndlatch-patch: a small program that imports
 * waveOutOpen from WINMM, made large by 50 MiB of initialised data that the
 * linker stores in the file, as a big program's data and resources would be. */
#include <windows.h>
#include <mmsystem.h>
#include <stdio.h>

#define BALLAST_BYTES (50 * 1024 * 1024)

/* One nonzero byte puts the array in .data rather than .bss. */
static volatile unsigned char ballast[BALLAST_BYTES] = {1};

int main(int argc, char **argv) {
    WAVEFORMATEX fmt = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
    HWAVEOUT h = NULL;
    MMRESULT r = waveOutOpen(&h, WAVE_MAPPER, &fmt, 0, 0, CALLBACK_NULL);
    (void)argv;
    printf("open: result %u, ballast %u\n", r, ballast[argc % BALLAST_BYTES]);
    if (r == MMSYSERR_NOERROR)
        waveOutClose(h);
    return 0;
}
