/* Test host: opens the default wave output device three times without
 * closing it and prints each result and handle, and makes other WINMM
 * calls so a test can see they still reach WINMM.
 *
 * Linkers put a DLL's imports in name order, so waveOutOpen's place among
 * the WINMM imports is chosen by which other functions are called:
 *   CALL_BEFORE  waveOutGetNumDevs, midiOutGetNumDevs (sort before it)
 *   CALL_AFTER   waveOutReset (sorts after it)
 *
 * Built with SOUND_LIBRARY it is hostlib.dll instead, a program's sound
 * library: the same calls, made from its export sound_main, which
 * hostlib-run.exe calls. */
#include <windows.h>
#include <mmsystem.h>
#include <stdio.h>

#ifdef SOUND_LIBRARY
__declspec(dllexport) int sound_main(void) {
#else
int main(void) {
#endif
    WAVEFORMATEX fmt = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
    HWAVEOUT handles[3] = {0, 0, 0};
    int i;
#ifdef CALL_BEFORE
    printf("waveOutGetNumDevs %u\n", waveOutGetNumDevs());
#endif
    for (i = 0; i < 3; i++) {
        MMRESULT r = waveOutOpen(&handles[i], WAVE_MAPPER, &fmt, 0, 0, CALLBACK_NULL);
        printf("open %d: result %u handle 0x%08lx\n", i + 1, r,
               (unsigned long)(ULONG_PTR)handles[i]);
    }
#ifdef CALL_AFTER
    printf("waveOutReset %u\n", waveOutReset(handles[2]));
#endif
#ifdef CALL_BEFORE
    printf("midiOutGetNumDevs %u\n", midiOutGetNumDevs());
#endif
    fflush(stdout);
    return 0;
}
