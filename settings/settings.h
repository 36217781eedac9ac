// Settings file "sndlatch.ini" and the debug log it switches on.
#pragma once

#include <wchar.h>

// The Debug_Log switch: 0 until read_settings finds the key; nonzero turns the
// debug log on. Set once, at process attach.
extern long debug_log_setting;

// Reads Debug_Log from "sndlatch.ini" in the current directory and, when the
// switch is on, starts the debug log "sndlatch.log" empty. Fails silently.
void read_settings();

// Fixes the debug log's full path: "sndlatch.log" in the current directory,
// the folder read_settings looked in. Called once at load, right after it;
// until then, and when the folder's path is too long, nothing is logged.
void fix_debug_log_path();

// Appends printf-style text to the debug log when the switch is on, as one
// write of whole lines, "\n" written as CR LF. Fails silently.
void write_debug_log(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Appends `before`, the file path `path` in UTF-8, and `after`, as one write.
void write_debug_log_path(const char *before, const wchar_t *path, const char *after);
