// The drop-in's own notification function, given to the platform in place of
// the program's target at each device's first open.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// The instance is the device's slot in the table.
extern "C" void CALLBACK dropin_notify(HWAVEOUT handle, UINT message, DWORD_PTR instance,
                                       DWORD_PTR param1, DWORD_PTR param2);
