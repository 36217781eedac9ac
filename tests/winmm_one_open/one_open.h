// The state of the stand-in's one open, shared by its two files.
#pragma once

#define _WINMM_
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#define EXPORT extern "C"

struct open_device {
    CRITICAL_SECTION lock;
    WAVEFORMATEX format;
    DWORD_PTR target, instance;
    DWORD flags;
    WAVEHDR *queue;   // the head plays; linked by lpNext
    DWORD offset;     // bytes of the head played
    DWORD loops_left; // passes of a looping head still to play
    DWORD played;     // bytes since the open or the last reset
    DWORD volume;
    bool paused, stop;
    HANDLE thread, capture;
    DWORD captured;
};

extern open_device *volatile live; // the one open, or NULL

// The open `h` names, or NULL when it names none.
open_device *device_of(HWAVEOUT h);
// Sends `message` to the open's target, as the platform's DriverCallback does.
void notify(open_device *d, UINT message, DWORD_PTR p1);
