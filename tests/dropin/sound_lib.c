/* A program's sound DLL: it opens the wave output device with a callback of
   its own, plays one buffer, waits for it and closes. The opens test unloads
   it afterwards while the program plays on. */
#include <windows.h>
#include <mmsystem.h>

static volatile LONG opened, done, closed;

static void CALLBACK on_message(HWAVEOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR p1,
                                DWORD_PTR p2) {
    (void)handle, (void)instance, (void)p1, (void)p2;
    InterlockedIncrement(message == WOM_OPEN ? &opened : message == WOM_DONE ? &done : &closed);
}

/* 0 when every step succeeded and each notification came once; else the
   number of the first step that did not. */
__declspec(dllexport) int WINAPI sound_lib_play(void) {
    static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 11025, 11025, 1, 8, 0};
    static char data[1103];
    HWAVEOUT h = NULL;
    WAVEHDR header = {0};
    int waited;
    for (int i = 0; i < (int)sizeof data; i++)
        data[i] = (char)(i % 25 < 12 ? 160 : 96);
    if (waveOutOpen(&h, WAVE_MAPPER, &format, (DWORD_PTR)on_message, 0, CALLBACK_FUNCTION))
        return 1;
    if (opened != 1)
        return 2;
    header.lpData = data;
    header.dwBufferLength = sizeof data;
    if (waveOutPrepareHeader(h, &header, sizeof header) || waveOutWrite(h, &header, sizeof header))
        return 3;
    for (waited = 0; (!(header.dwFlags & WHDR_DONE) || done < 1) && waited < 20000; waited += 5)
        Sleep(5);
    if (done != 1)
        return 4;
    if (waveOutUnprepareHeader(h, &header, sizeof header))
        return 5;
    if (waveOutClose(h) || closed != 1)
        return 6;
    return 0;
}
