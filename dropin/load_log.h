// What the drop-in adds to DllMain: its first log line.
#pragma once

// Starts the debug log, when it is on, with one line: the drop-in's version,
// the process it was loaded into and the settings file it read.
void after_settings_read();
