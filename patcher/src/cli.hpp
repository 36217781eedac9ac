// Command line and file handling for sndlatch-patch.
#pragma once

#include "pe.hpp"

#include <iosfwd>
#include <string>
#include <vector>

#ifndef SNDLATCH_VERSION
#define SNDLATCH_VERSION "0.1.0"
#endif

namespace sndlatch {

enum ExitCode { kExitOk = 0, kExitRefused = 1, kExitUsage = 2 };

// Runs the tool with args (without the program name). Returns the exit code.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Reads a whole file; returns false and sets `error` on failure.
bool read_file(const std::string& path, Bytes& data, std::string& error);

// Writes data to a temporary file beside `path`, then renames it over
// `path`, so readers see the old file or the new one, never a mix.
// `mode_from` names a file whose permissions the new file takes (may be empty).
bool write_atomic(const std::string& path, const Bytes& data, const std::string& mode_from,
                  std::string& error);

}  // namespace sndlatch
