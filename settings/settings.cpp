// Reads the Debug_Log switch and starts the debug log.
//
// Everything goes through msvcrt.dll's own stdio, in text mode: CR LF reads
// as one newline and a Ctrl-Z byte ends the file. mingw's C99 replacements
// would behave differently, so they are switched off before any header.
#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>
#include <string.h>

#include "settings.h"

// ---- module state: set during process attach, read-only after it ----------
long debug_log_setting;                             // the Debug_Log switch, 0 by default
static const char settings_name[] = "sndlatch.ini"; // read only, never written
static const char log_name[] = "sndlatch.log";      // separate, so starting it never
                                                    // destroys the settings file
// -----------------------------------------------------------------------------

// msvcrt's end-of-file indicator, tested as its own feof macro once did, so
// that the module imports no more of msvcrt than it reads and writes with.
static bool at_end(FILE *file) {
    return (file->_flag & _IOEOF) != 0;
}

void read_settings() {
    FILE *file = fopen(settings_name, "r");
    if (file) {
        while (!at_end(file)) {
            char line[256] = {0};
            char key[256] = {0};
            // 255 bytes with the terminating zero: a longer line comes in
            // pieces of 254 characters, each taken as a line of its own.
            if (!fgets(line, 255, file))
                break;
            if (line[0] == '#' || line[0] == '\n')
                continue;
            long value;
            if (sscanf(line, "%9s = %ld\n", key, &value) == 2 && _strcmpi(key, "Debug_Log") == 0)
                debug_log_setting = value;
        }
        fclose(file);
    }
    if (debug_log_setting) {
        FILE *log = fopen(log_name, "w");
        if (log)
            fclose(log);
    }
}
