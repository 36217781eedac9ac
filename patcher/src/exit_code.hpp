// The tool's exit codes, which every command returns.
#pragma once

namespace sndlatch {

enum ExitCode { kExitOk = 0, kExitRefused = 1, kExitUsage = 2 };

} // namespace sndlatch
