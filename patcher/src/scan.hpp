// --scan: which file of a program's folder to patch, and which drop-in a
// folder holds or needs.
#pragma once

#include "pe.hpp"

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

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
    DropIn,      // sndlatch's own drop-in winmm.dll, of either architecture
    Sndlatch,    // sndlatch.dll itself or a copy
    Bit64,       // a 64-bit module that gets waveOutOpen in any of the ways above
    None,        // does not get waveOutOpen
    Skipped,     // not an x86 or x86-64 PE module, or damaged (reason)
};

// What --scan and --check say of a 64-bit module that opens the device.
extern const char *const kUse64BitDropin;

struct ScanResult {
    Reach reach = Reach::None;
    std::string reason;               // for Unpatchable and Skipped
    Reason refusal = Reason::Damaged; // why an Unpatchable module is refused
    bool closes = false;              // imports waveOutClose from WINMM
    bool bit64 = false;               // an x86-64 module
    bool is_dll = false;
};

// Whether a module of this reach opens the sound device itself.
bool opens_device(Reach r);

// Classifies one module. Raises ReadError when the file cannot be read.
ScanResult scan_module(std::shared_ptr<const ByteSource> file);
// Classifies the module in a file; one that cannot be read is Skipped.
ScanResult scan_file(const std::filesystem::path &file);

// "32-bit" or "64-bit".
const char *arch_name(bool bit64);

// One module found in a folder tree.
struct ScannedModule {
    std::filesystem::path path;
    std::string name; // relative to the scanned folder, with '/'
    ScanResult result;
    // Its program's folder: its own for a .exe; for a DLL the nearest one
    // from its own up to the scanned one that holds a .exe, where the
    // loader looks for sndlatch.dll and winmm.dll; its own when none does.
    std::filesystem::path program;
};

// Every .exe and .dll (any case) in `root` and below, sorted and
// classified. Links to folders are not entered. Each folder below `root`
// that cannot be listed gets a line on `err` and is counted in `unlisted`.
// False with the error code when `root` itself cannot be listed.
bool scan_tree(const std::filesystem::path &root, std::vector<ScannedModule> &modules,
               size_t &unlisted, int &code, std::ostream &err);

// One line per .exe and .dll in `folder` and below, then a summary and
// warnings. Returns 0, 1 when a folder below it could not be listed, or 2
// when the folder cannot be read.
int run_scan(const std::string &folder, std::ostream &out, std::ostream &err);

} // namespace sndlatch
