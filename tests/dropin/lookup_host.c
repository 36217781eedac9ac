/* A program that imports no winmm: it loads it by name at run time and looks
   waveOutOpen up, three times over, as many older programs do. With the
   drop-in beside it, all three opens get one device.
   Exit code 0 when they do; 1 otherwise. */
#include <windows.h>
#include <mmsystem.h>
#include <stdio.h>

typedef MMRESULT(WINAPI *open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);

int main(void) {
    static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    HWAVEOUT first = NULL;
    int failures = 0;
    for (int i = 0; i < 3; i++) {
        HMODULE winmm = LoadLibraryA("winmm.dll");
        open_fn open = (open_fn)(void (*)(void))GetProcAddress(winmm, "waveOutOpen");
        wchar_t path[MAX_PATH] = L"";
        GetModuleFileNameW(winmm, path, MAX_PATH);
        HWAVEOUT handle = NULL;
        MMRESULT result = open ? open(&handle, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) : ~0u;
        printf("open %d: result %u, handle %p, from %ls\n", i, result, (void *)handle, path);
        if (i == 0)
            first = handle;
        if (result != MMSYSERR_NOERROR || handle != first)
            failures++;
    }
    printf("%s\n", failures ? "FAIL: more than one device" : "one device for three opens");
    return failures ? 1 : 0;
}
