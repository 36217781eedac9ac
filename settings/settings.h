// Settings file "sndlatch.ini" and the debug log it switches on.
#pragma once

// The Debug_Log switch: 0 until read_settings finds the key; nonzero turns the
// debug log on. Set once, at process attach.
extern long debug_log_setting;

// Reads Debug_Log from "sndlatch.ini" in the current directory and, when the
// switch is on, starts the debug log "sndlatch.log" empty. Fails silently.
void read_settings();

// Appends printf-style text to the debug log when the switch is on; opens and
// closes the file on each call. Fails silently.
void write_debug_log(const char *format, ...);
