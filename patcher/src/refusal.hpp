// Why a program cannot be patched, as data: a reason code, the one-line
// text that explains it, and (from the reason, in one table) whether the
// drop-in winmm.dll overcomes it.
#pragma once

#include <stdexcept>
#include <string>

namespace sndlatch {

enum class Reason {
    Damaged,        // headers or tables that do not add up, or a truncated file
    NotAProgram,    // no PE image for x86 or x86-64
    Bit64,          // a 64-bit program: only the 64-bit drop-in reaches it
    NotNative,      // .NET, or not marked as an executable image
    IsSndlatch,     // sndlatch.dll itself, whose own waveOutOpen import must stay
    Packed,         // a packer's sections or marker
    ForceIntegrity, // Windows would not load it once changed
    Signed,         // patching breaks the signature (unless --strip-signature)
    ByOrdinal,      // WINMM imported by ordinal
    DelayLoaded,    // WINMM delay-loaded
    NoWaveOutOpen,  // no waveOutOpen import to redirect
    NoRoom,         // no room for the new section within the loader's rules
};

// Whether the drop-in winmm.dll reaches a program refused for `reason`. It
// changes no file, so what lies only in the file's form does not stop it.
bool dropin_overcomes(Reason reason);

// A reason the program cannot be patched. what() is one line, no prefix.
struct Refusal : std::runtime_error {
    Refusal(Reason r, const std::string &why) : std::runtime_error(why), reason(r) {}
    Reason reason;
};

// Throws the Refusal; every refusal of the tool is raised here.
[[noreturn]] void refuse(Reason reason, const std::string &why);

} // namespace sndlatch
