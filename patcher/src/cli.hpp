// Command line and file handling for sndlatch-patch.
#pragma once

#include "pe.hpp"

#include <fstream>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef SNDLATCH_VERSION
#define SNDLATCH_VERSION "0.1.0"
#endif

namespace sndlatch {

enum ExitCode { kExitOk = 0, kExitRefused = 1, kExitUsage = 2 };

// Runs the tool with args (without the program name). Returns the exit code.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

// An input file that could not be read after it was opened.
struct ReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A ByteSource over a file on disk that reads only what is asked for: 64 KiB
// blocks are loaded on first access and kept (a few MiB at most), and reads
// of a block or more go straight to the file. Read failures throw ReadError.
class FileSource : public ByteSource {
  public:
    // Returns nullptr and sets `error` when the file cannot be opened.
    static std::shared_ptr<FileSource> open(const std::string &path, std::string &error);
    size_t size() const override {
        return size_;
    }
    // Lets go of the file, so that it can be replaced (Windows refuses to
    // rename over an open file). No read may follow.
    void close() {
        in_.close();
    }

  protected:
    void read_checked(size_t off, void *dst, size_t len) const override;

  private:
    static constexpr size_t kBlock = 64 * 1024;
    static constexpr size_t kMaxBlocks = 64;

    void read_file(size_t off, void *dst, size_t len) const;

    mutable std::ifstream in_;
    size_t size_ = 0;
    mutable std::map<size_t, Bytes> blocks_; // by block number
};

// Creates the file at `path` atomically: `fill` writes the content to the
// temporary file it is given (returning false and setting its error on
// failure), which is then renamed over `path`, so readers see the old file
// or the new one, never a mix. `mode_from` names a file whose permissions
// the new file takes (may be empty).
bool write_atomic(const std::string &path, const std::string &mode_from, std::string &error,
                  const std::function<bool(const std::string &tmp, std::string &error)> &fill);

} // namespace sndlatch
