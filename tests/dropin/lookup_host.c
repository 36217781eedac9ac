/* A program that imports no winmm: it loads it by name at run time and looks
   waveOutOpen up, three times over, as many older programs do. With the
   drop-in beside it, the three opens get three handles of the drop-in's, all
   open at once, and each closes.
   Exit code 0 when they do; 1 otherwise. */
#include <windows.h>
#include <mmsystem.h>
#include <stdio.h>

typedef MMRESULT(WINAPI *open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);
typedef MMRESULT(WINAPI *close_fn)(HWAVEOUT);

int main(void) {
    static const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    HWAVEOUT handles[3] = {NULL, NULL, NULL};
    int failures = 0;
    for (int i = 0; i < 3; i++) {
        HMODULE winmm = LoadLibraryA("winmm.dll");
        open_fn open = (open_fn)(void (*)(void))GetProcAddress(winmm, "waveOutOpen");
        wchar_t path[MAX_PATH] = L"";
        GetModuleFileNameW(winmm, path, MAX_PATH);
        HWAVEOUT handle = NULL;
        MMRESULT result = open ? open(&handle, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) : ~0u;
        printf("open %d: result %u, handle %p, from %ls\n", i, result, (void *)handle, path);
        handles[i] = handle;
        if (result != MMSYSERR_NOERROR || handle == NULL || (i > 0 && handle == handles[i - 1]) ||
            (i > 1 && handle == handles[0]))
            failures++;
    }
    close_fn close =
        (close_fn)(void (*)(void))GetProcAddress(LoadLibraryA("winmm.dll"), "waveOutClose");
    for (int i = 0; i < 3; i++) {
        if (!close || close(handles[i]) != MMSYSERR_NOERROR)
            failures++;
    }
    printf("%s\n", failures ? "FAIL" : "three opens, three handles, three closes");
    return failures ? 1 : 0;
}
