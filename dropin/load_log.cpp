// The drop-in's first log line, written at process attach right after the
// settings are read, so that every log says which build wrote it, for which
// program and from which settings file.

#include "load_log.h"

#include <windows.h>

#include "settings.h"
#include "version.h"

void after_settings_read() {
    if (!debug_log_setting)
        return;
    // Two paths within one page of stack: the module has no stack probe.
    enum { path_size = 2 * MAX_PATH };
    WCHAR program[path_size], settings[path_size];
    DWORD n = GetModuleFileNameW(NULL, program, path_size);
    if (n == 0 || n >= path_size)
        program[0] = 0;
    // The settings are read from the current directory, as the file name
    // alone: the same name taken as a full path is the file that was read.
    n = GetFullPathNameW(L"sndlatch.ini", path_size, settings, NULL);
    if (n == 0 || n >= path_size)
        settings[0] = 0;
    write_debug_log("sndlatch drop-in winmm.dll %s in %ls (process %lu), settings %ls\n",
                    SNDLATCH_VERSION_TEXT, program, GetCurrentProcessId(), settings);
}
