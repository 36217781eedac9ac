/* A program's sound DLL: it opens the wave output device with a callback of
   its own and plays one buffer (sound_lib_start), then waits for it and
   closes (sound_lib_finish). The opens test opens the device itself in
   between, and unloads the DLL while it plays on. */
#include <windows.h>
#include <mmsystem.h>

static volatile LONG opened, done, closed;
static HWAVEOUT device;
static WAVEHDR header;
static char data[1600];

static void CALLBACK on_message(HWAVEOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR p1,
                                DWORD_PTR p2) {
    (void)handle, (void)instance, (void)p1, (void)p2;
    InterlockedIncrement(message == WOM_OPEN ? &opened : message == WOM_DONE ? &done : &closed);
}

/* Each returns 0 when every step succeeded and each notification came once;
   else the number of the first step that did not. */
__declspec(dllexport) int WINAPI sound_lib_start(void) {
    /* The format of the program's own open: one a drop-in could mistake for it. */
    static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    for (int i = 0; i < (int)sizeof data; i++)
        data[i] = (char)(i % 40 < 20 ? 0 : 32);
    if (waveOutOpen(&device, WAVE_MAPPER, &format, (DWORD_PTR)on_message, 0, CALLBACK_FUNCTION))
        return 1;
    if (opened != 1)
        return 2;
    header.lpData = data;
    header.dwBufferLength = sizeof data;
    if (waveOutPrepareHeader(device, &header, sizeof header) ||
        waveOutWrite(device, &header, sizeof header))
        return 3;
    return 0;
}

__declspec(dllexport) int WINAPI sound_lib_finish(void) {
    for (int waited = 0; (!(header.dwFlags & WHDR_DONE) || done < 1) && waited < 10000; waited += 5)
        Sleep(5);
    if (done != 1)
        return 4;
    if (waveOutUnprepareHeader(device, &header, sizeof header))
        return 5;
    if (waveOutClose(device) || closed != 1)
        return 6;
    return 0;
}
