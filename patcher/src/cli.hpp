// Command line of sndlatch-patch.
#pragma once

#include "files.hpp"

#include <iosfwd>
#include <string>
#include <vector>

#ifndef SNDLATCH_VERSION
#define SNDLATCH_VERSION "0.1.0"
#endif

namespace sndlatch {

enum ExitCode { kExitOk = 0, kExitRefused = 1, kExitUsage = 2 };

// Runs the tool with args (without the program name, UTF-8). Returns the
// exit code.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

} // namespace sndlatch
