// --dropin: puts the drop-in winmm.dll of the program's architecture
// beside it, or takes sndlatch's own drop-in away again.
#pragma once

#include <iosfwd>
#include <string>

namespace sndlatch {

// What Wine, Proton and Lutris/Bottles need to load a winmm.dll beside a
// program rather than their own.
extern const char *const kOverrideLine;

// `target` is a program or a folder holding one. `release` is the folder
// holding winmm.dll and x64/winmm.dll (the tool's own, in a release). With
// `remove`, deletes the target folder's winmm.dll if it is sndlatch's
// drop-in. Returns an exit code.
int run_dropin(const std::string &target, bool remove, const std::string &release,
               std::ostream &out, std::ostream &err);

} // namespace sndlatch
