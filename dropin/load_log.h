// The drop-in's first log line.
#pragma once

// Starts the debug log, when it is on, with one line: the drop-in's version,
// the process it was loaded into and the settings file it read. Called at
// process attach, once the log's place is fixed.
void write_load_line();
