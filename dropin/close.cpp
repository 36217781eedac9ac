// waveOutClose, waveOutPrepareHeader and waveOutUnprepareHeader for the
// program's modules: a close ends one of the opens a device answered, and a
// prepared header remembers the target its WOM_DONE goes to. Calls from
// platform modules, and calls about other devices, go to the system's winmm.

#include "caller_scope.h"
#include "devices.h"
#include "headers.h"
#include "real_winmm.h"
#include "settings.h"
#include "targets.h"

// The device behind `handle` when a program's module asks about it; NULL
// when the call is not the drop-in's to handle.
static wave_device *program_device(HWAVEOUT handle, void *caller) {
    wave_device *device = device_of_handle(handle);
    return device && caller_may_be_answered(caller) ? device : NULL;
}

// With other opens left on the device, one of them ends here: the latest
// target without buffers in the queue is retired and gets WOM_CLOSE, and the
// device plays on. The last one closes the device for real, and the next open
// is a first open again.
extern "C" MMRESULT WINAPI dropin_waveOutClose(HWAVEOUT hwo) {
    wave_device *device = program_device(hwo, __builtin_return_address(0));
    if (!device)
        return wm_real_waveOutClose(hwo);
    devices_lock();
    if (device->opens > 1) {
        wave_target retired;
        bool ended = target_retire(device, &retired);
        LONG left = device->opens;
        devices_unlock();
        if (!ended)
            return WAVERR_STILLPLAYING;
        write_debug_log("close of open %ld: the device plays on for %ld more\n",
                        (long)retired.serial, (long)left);
        target_notify(&retired, hwo, WOM_CLOSE, 0, 0);
        return MMSYSERR_NOERROR;
    }
    devices_unlock();
    // The platform sends WOM_CLOSE to the drop-in, which passes it on to the
    // latest target; the device is forgotten after that.
    MMRESULT result = wm_real_waveOutClose(hwo);
    if (result == MMSYSERR_NOERROR) {
        devices_lock();
        device_forget(device);
        devices_unlock();
        write_debug_log("device %p closed\n", (void *)hwo);
    }
    return result;
}

extern "C" MMRESULT WINAPI dropin_waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    void *caller = __builtin_return_address(0);
    MMRESULT result = wm_real_waveOutPrepareHeader(hwo, pwh, cbwh);
    if (result != MMSYSERR_NOERROR)
        return result;
    wave_device *device = program_device(hwo, caller);
    if (device) {
        devices_lock();
        LONG serial = target_for_header(device);
        if (serial)
            header_record(pwh, device, serial);
        else
            header_forget(pwh);
        devices_unlock();
    }
    return result;
}

extern "C" MMRESULT WINAPI dropin_waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    MMRESULT result = wm_real_waveOutUnprepareHeader(hwo, pwh, cbwh);
    if (result == MMSYSERR_NOERROR && header_known(pwh)) {
        devices_lock();
        header_forget(pwh);
        devices_unlock();
    }
    return result;
}
