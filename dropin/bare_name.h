// Keeps a bare "winmm" or "winmm.dll" pointing at the drop-in.
//
// Once the system's winmm is loaded beside the drop-in, the process holds two
// modules named winmm.dll. Windows' loader answers a lookup by that name with
// the first one loaded, the drop-in. Wine's loader first tries the module it
// was last asked about: after Wine's own timeSetEvent (which takes a
// reference on its winmm) or a program's load of the system winmm by full
// path, LoadLibrary("winmm") and GetModuleHandle("winmm") would give the
// system's module. So every other module named winmm.dll has its loader
// entry's base name shortened by one letter, to "winmm.dl": no lookup by
// name matches it, while lookups by full path, by address and by handle, and
// its file name, stay as they were.
#pragma once

#include <windows.h>
#include <winternl.h>

// Shortens `base_name`, the loader's own record of the module at `base`,
// when it is "winmm.dll" and the module is not the drop-in.
void hide_winmm_namesake(UNICODE_STRING *base_name, const void *base);

// The same for a loaded module known by its handle.
void hide_loaded_winmm_namesake(HMODULE module);
