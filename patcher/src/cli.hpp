// Command line of sndlatch-patch.
#pragma once

#include "exit_code.hpp"
#include "files.hpp"

#include <iosfwd>
#include <string>
#include <vector>

#ifndef SNDLATCH_VERSION
#define SNDLATCH_VERSION "0.1.0"
#endif

namespace sndlatch {

// Runs the tool with args (without the program name, UTF-8). Returns the
// exit code.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

} // namespace sndlatch
