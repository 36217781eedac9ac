// Passes each notification of a device on to the program: WOM_DONE to the
// target that was latest when the header was prepared, everything else to
// the latest target. Runs on WINMM's thread, beside opens, prepares and
// closes on the program's: it reads the tables without the lock, allocates
// nothing and writes nothing shared.

#include "notify.h"

#include "devices.h"
#include "headers.h"
#include "targets.h"

extern "C" void CALLBACK dropin_notify(HWAVEOUT handle, UINT message, DWORD_PTR instance,
                                       DWORD_PTR param1, DWORD_PTR param2) {
    if (instance >= device_slots)
        return;
    const wave_device *device = &devices[instance];
    LONG serial = message == WOM_DONE ? header_target((const WAVEHDR *)param1, device) : 0;
    wave_target target;
    if ((serial && target_read(device, serial, &target)) || target_read_latest(device, &target))
        target_notify(&target, handle, message, param1, param2);
}
