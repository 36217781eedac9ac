// The floor the benchmark measures sndlatch.dll against: a DLL with the same
// build and the same six-argument stdcall shape, doing only the observable
// work of an answered open (one handle written to the caller's slot, 0
// returned) and nothing else.

#include <windows.h>
#include <mmsystem.h>

// Read like sndlatch's remembered handle, so that the floor also loads the
// handle from module memory rather than storing a constant.
static HWAVEOUT floor_handle = (HWAVEOUT)(ULONG_PTR)0xff00;

extern "C" __declspec(dllexport) MMRESULT WINAPI
    floor_open(LPHWAVEOUT phwo, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD) {
    *phwo = floor_handle;
    return MMSYSERR_NOERROR;
}

// No start-up work: the loader enters here and the DLL is ready.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
