// What sndlatch-patch needs from the platform beyond std::filesystem: the
// system's own reasons for errors, files created exclusively and flushed
// to disk, renames that never replace, one run at a time per program, and
// folder listings that never follow a link. sys_posix.cpp and
// sys_windows.cpp implement it side by side.
//
// Error codes are errno values natively and GetLastError() values on
// Windows.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <streambuf>
#include <string>
#include <vector>

namespace sndlatch {

// The system's reason for error `code`, as a phrase that can follow a
// colon: "no space left on device". Every I/O message takes its reason
// from here.
std::string system_reason(int code);

// The error code of the last system call that failed.
int last_error();

// Whether `code` says that a name is taken.
bool is_exists_error(int code);

// What a file keeps when it is replaced or copied: its mode, owner and
// modification time.
struct FileMeta {
    bool known = false;
    uint32_t mode = 0; // permission bits; Windows: file attributes (read-only, hidden, ...)
    uint32_t uid = 0, gid = 0;
    int64_t mtime = 0;      // seconds; Windows: FILETIME ticks
    int64_t mtime_nsec = 0; // natively only
};
FileMeta read_meta(const std::string &path);

// A file this run creates under a name that was free: an existing file is
// never opened. Writes are buffered; the stream may seek.
class NewFile : public std::streambuf {
  public:
    NewFile() = default;
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;
    ~NewFile() override;

    // Creates `path`; false with the error code when it exists or cannot
    // be created.
    bool create(const std::string &path, int &code);
    // Writes what is buffered, gives the file the mode of `like` (and with
    // `owner_and_time` its owner, where the user may, and modification
    // time), flushes it to the disk and closes it. False with the error
    // code of the first failure since create().
    bool finish(const FileMeta &like, bool owner_and_time, int &code);

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char *s, std::streamsize n) override;
    int sync() override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override;
    pos_type seekpos(pos_type p, std::ios_base::openmode mode) override;

  private:
    bool drain();

    intptr_t handle_ = -1; // file descriptor, or HANDLE on Windows
    int error_ = 0;        // first error, 0 if none
    char buffer_[64 * 1024];
};

// Renames `from` to `to`, replacing a file `to`. On Windows a short-lived
// open of `to` (a virus scanner, another run finishing) is waited out.
bool rename_replacing(const std::string &from, const std::string &to, int &code);
// Renames `from` to `to` only if no entry `to` exists, which the rename
// itself checks, so that two runs can never take the same name.
bool rename_new(const std::string &from, const std::string &to, int &code);
// Whether `path` may be replaced by a rename (on Windows: opened for
// deleting); false with the error code when not.
bool may_replace(const std::string &path, int &code);
// Makes the renames in `folder` durable (natively; Windows writes them
// through).
void sync_folder(const std::string &folder);

// One run at a time on a file that is replaced. Natively a flock on
// FILE.sndlatch-lock beside it, removed at the end; on Windows the file
// itself, opened so that nobody else may write it (another run asks for
// exactly that), and a mutex named after the file's final path, which is
// still held while the file is replaced. The system releases them when the
// process ends, however it ends.
class RunLock {
  public:
    RunLock() = default;
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;
    ~RunLock();

    // Waits for another run on `file`, saying so once on `err`. False with
    // `error` only when it cannot be had (on Windows: the file stays in use
    // by another program). A folder where no lock file can be made is one
    // where no run can write, so there it goes ahead without one.
    bool take(const std::string &file, std::ostream &err, std::string &error);
    // Windows replaces no file that is open, so the file is let go just
    // before it is replaced; natively the lock is kept to the end.
    void before_replace();

  private:
    void release();

    intptr_t handle_ = -1; // the lock file's descriptor; Windows: the file itself
#ifdef _WIN32
    intptr_t mutex_ = -1; // the run's mutex, held to the end
#else
    std::string lock_path_; // FILE.sndlatch-lock
#endif
};

// The folder that holds this tool's own file, where the release keeps the
// drop-ins; "" when the system does not say.
std::string tool_folder();

// What a name is, following links.
enum class PathKind { Missing, Regular, Other };
PathKind path_kind(const std::string &path);

// The name the system finally opens for `path`: absolute, every link
// followed; "" when it cannot be opened.
std::string final_path(const std::string &path);

// The file that a symbolic link (or, on Windows, any reparse point) finally
// names; "" when `path` is not a link or cannot be resolved.
std::string link_target(const std::string &path);

// One folder's entries, without "." and "..". A link to a folder is
// FolderLink and is never entered; a link to a file counts as a file.
enum class EntryKind { File, Folder, FolderLink, Other };
struct FolderEntry {
    std::string name; // UTF-8
    EntryKind kind;
};
bool list_folder(const std::string &folder, std::vector<FolderEntry> &entries, int &code);

} // namespace sndlatch
