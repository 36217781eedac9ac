/* A DLL that opens the wave output device itself through its own winmm
   import, as a program's sound library does. The tests load it from the
   program's folder, and a copy of it from the Windows directory, where it
   stands for a platform component. */
#include <windows.h>
#include <mmsystem.h>

__declspec(dllexport) MMRESULT WINAPI caller_open(HWAVEOUT *slot) {
    static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    return waveOutOpen(slot, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
}
