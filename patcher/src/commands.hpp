// The commands behind the options: patching (and --check), and --restore.
// cli.cpp reads the command line and calls them; --scan and --dropin live
// in scan.* and dropin.*.
#pragma once

#include <iosfwd>
#include <string>

namespace sndlatch {

// What patching is asked to do.
struct PatchRequest {
    bool check = false;           // report only, write nothing
    bool strip_signature = false; // patch a signed program, dropping its signature
    std::string output;           // -o OUT; empty to patch in place
    std::string host;             // the program or DLL to patch
};

// Patches a.host (or with a.check says whether it can be). Returns an exit
// code.
int patch_program(const PatchRequest &a, std::ostream &out, std::ostream &err);

// --restore: puts HOST.orig back over HOST when HOST is exactly what
// patching HOST.orig gives. Returns an exit code.
int restore_program(const std::string &host, std::ostream &out, std::ostream &err);

// The message for a folder given where a program was expected (dragged
// onto the tool, say), which suggests --scan. Returns the exit code.
int folder_given(const std::string &name, std::ostream &err);

// A usage error with the usage lines. Returns the exit code.
int usage_error(const std::string &message, std::ostream &err);

} // namespace sndlatch
