// Telling the drop-in's handles from the platform's in the test programs.
#pragma once

#include <windows.h>
#include <mmsystem.h>

// The drop-in's handles are addresses in address space it reserved and never
// committed; the platform's are not (Wine's are small numbers).
inline bool is_dropin_handle(HWAVEOUT handle) {
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery((const void *)handle, &info, sizeof info) == sizeof info &&
           info.State == MEM_RESERVE && info.Type == MEM_PRIVATE &&
           info.RegionSize >= (SIZE_T)16 << 20;
}
