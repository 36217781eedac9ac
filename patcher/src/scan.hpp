// --scan: which file of a program's folder to patch.
#pragma once

#include "pe.hpp"

#include <iosfwd>
#include <string>

namespace sndlatch {

// How a module gets waveOutOpen, as far as its headers and import tables
// (and, for modules that import GetProcAddress, its bytes) tell.
enum class Reach {
    Patchable,   // imported by name, and the patch plan succeeds
    Unpatchable, // imported by name, but the program is refused (reason)
    AlreadyPatched,
    ByOrdinal,   // WINMM imported by ordinal
    DelayLoaded, // WINMM delay-loaded
    RunTime,     // GetProcAddress, and the file holds "waveOutOpen"
    Provider,    // exports waveOutOpen itself: a WINMM.DLL
    DropIn,      // sndlatch's own drop-in winmm.dll
    Sndlatch,    // sndlatch.dll itself or a copy
    Bit64,       // a 64-bit module that gets waveOutOpen in any of the ways above
    None,        // does not get waveOutOpen
    Skipped,     // not an x86 or x86-64 PE module, or damaged (reason)
};

// What --scan and --check say of a 64-bit module that opens the device.
extern const char *const kUse64BitDropin;

struct ScanResult {
    Reach reach = Reach::None;
    std::string reason;  // for Unpatchable and Skipped
    bool closes = false; // imports waveOutClose from WINMM
};

// Classifies one module. Raises ReadError when the file cannot be read.
ScanResult scan_module(std::shared_ptr<const ByteSource> file);

// One line per .exe and .dll (any case) in `folder` and below, then a
// summary. Returns 0, or 2 when the folder cannot be read.
int run_scan(const std::string &folder, std::ostream &out, std::ostream &err);

} // namespace sndlatch
