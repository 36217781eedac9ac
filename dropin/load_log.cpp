// The drop-in's first log line, written at process attach right after the
// settings are read, so that every log says which build wrote it (version
// and architecture), for which program and from which settings file.

#include "load_log.h"

#include <windows.h>

#include "settings.h"
#include "version.h"

// The file name of `wide`, in UTF-8 like every path in the log; "" when it
// does not fit.
static void to_utf8(const WCHAR *wide, char *out, int out_size) {
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, out_size, NULL, NULL) == 0)
        out[0] = 0;
}

void write_load_line() {
    if (!debug_log_setting)
        return;
    // Two paths and their UTF-8 forms within one page of stack: the module
    // has no stack probe.
    enum { path_size = MAX_PATH, utf8_size = 3 * MAX_PATH };
    WCHAR path[path_size];
    char program[utf8_size], settings[utf8_size];
    DWORD n = GetModuleFileNameW(NULL, path, path_size);
    if (n == 0 || n >= path_size)
        path[0] = 0;
    to_utf8(path, program, utf8_size);
    // The settings are read from the current directory, as the file name
    // alone: the same name taken as a full path is the file that was read.
    n = GetFullPathNameW(L"sndlatch.ini", path_size, path, NULL);
    if (n == 0 || n >= path_size)
        path[0] = 0;
    to_utf8(path, settings, utf8_size);
    // Which of the two drop-ins this is: a winmm.dll of the other
    // architecture never loads, so this also names the program's.
#ifdef _WIN64
    const char *const bits = "64-bit";
#else
    const char *const bits = "32-bit";
#endif
    write_debug_log("sndlatch drop-in winmm.dll %s in %s (%s, process %lu), settings %s\n",
                    SNDLATCH_VERSION_TEXT, program, bits, GetCurrentProcessId(), settings);
}
