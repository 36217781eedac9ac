// Files on disk for sndlatch-patch: reading on demand and comparing
// (files.cpp); creating files so that a failure leaves nothing behind, and
// the in-place patch with its .orig copy (replace.cpp).
//
// Names are UTF-8 strings throughout the tool; fs_path() turns one into a
// path, which on Windows opens the file through its UTF-16 name.
#pragma once

#include "bytes.hpp"
#include "sys.hpp"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace sndlatch {

std::filesystem::path fs_path(const std::string &utf8);
std::string utf8_name(const std::filesystem::path &path);

// Whether a file's name is `name` in any letter case, as the Windows
// loader finds it, compared on the platform's own characters (UTF-16 on
// Windows), so that no name in a folder has to be converted.
bool name_is(const std::filesystem::path &file, const std::string &name);

// Whether `name` is a folder (a link to one too).
bool is_folder(const std::string &name);

// The folder that holds `path`, as a full path, so that messages name the
// real folder rather than ".".
std::filesystem::path full_folder_of(const std::string &path);

// The system's reason for the last failed file operation (errno), as the
// system words it; `fallback` when errno names none.
std::string errno_reason(const char *fallback);

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

    std::string name_;
    mutable std::ifstream in_;
    size_t size_ = 0;
    mutable std::map<size_t, Bytes> blocks_; // by block number
};

// Writes a file's content to a stream; throws std::runtime_error (ReadError,
// or Refusal when the input changed under it) when its input fails.
using Writer = std::function<void(std::ostream &)>;

// Writes all of `source` to `out`.
void write_copy(const ByteSource &source, std::ostream &out);

// Whether `write` writes exactly the bytes of `file`, without writing them
// anywhere. A byte written twice counts as its last value.
bool same_bytes(const ByteSource &file, const Writer &write);

// Creates the file at `path` atomically: `write` fills a temporary file
// beside it, which is flushed to the disk and then renamed over `path`, so
// readers see the old file or the new one, never a mix. `mode_from` names
// a file whose permissions the new file takes (may be empty). `lock` is
// the run's lock on `path`. On failure no file is left behind.
bool write_atomic(const std::string &path, const std::string &mode_from, RunLock &lock,
                  const Writer &write, std::string &error);

// Whether `file` can be replaced as patching in place replaces it: a new
// file can be made in its folder (one is made and removed again), and the
// file itself may be replaced. False with the reason when not.
bool can_replace(const std::string &file, std::string &error);

// The file that `path` names, following symbolic links (relative targets
// are taken from the link's folder). Other paths come back unchanged.
std::string resolve_links(const std::string &path);

// Whether a and b are one file: the same name, a symbolic or a hard link.
bool same_file(const std::string &a, const std::string &b);

// What replace_keeping_orig did with FILE.orig.
struct KeptOrig {
    bool written = false;      // FILE.orig now holds FILE's former bytes
    std::string older_kept_as; // an older, different FILE.orig was moved here
};

// Replaces `file` with what `write` gives, keeping its current bytes (read
// from `current`, which is an open FileSource over `file`) as FILE.orig. An
// existing FILE.orig holding the same bytes is left as it is; one that
// differs is renamed to FILE.orig.N, the first N free, and never
// overwritten. Both new files keep the mode, owner and modification time
// of `file` and are on the disk before they are renamed into place.
// `current` is closed before anything is renamed; `lock` is the run's lock
// on `file`. On failure every file is as it was and nothing is left behind.
bool replace_keeping_orig(const std::string &file, FileSource &current, RunLock &lock,
                          const Writer &write, KeptOrig &kept, std::string &error);

} // namespace sndlatch
