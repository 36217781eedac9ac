// Writing files: temporary files renamed into place, and the in-place
// replacement that keeps the former program as .orig.
#include "files.hpp"

#include "sys.hpp"

#include <cerrno>
#include <ostream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace sndlatch {

namespace {

// Removes a file this run created. A copy of a read-only program is
// read-only too, and Windows deletes no read-only file.
void remove_created(const fs::path &path) {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
    fs::remove(path, ec);
}

bool entry_exists(const fs::path &path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

fs::path with_suffix(fs::path path, const std::string &suffix) {
    path += fs_path(suffix);
    return path;
}

// A temporary file beside `target`, FILE.sndlatch-tmpN, removed again
// unless it was moved into place. It is created under a name that was
// free, so no two runs ever share one.
class TempFile {
  public:
    explicit TempFile(const fs::path &target) : target_(target) {}
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (!path_.empty())
            remove_created(path_);
    }

    // Creates it with what `write` gives, on the disk before this returns,
    // with the mode of `like` and, with `owner_and_time`, its owner and
    // modification time.
    bool create(const Writer &write, const FileMeta &like, bool owner_and_time,
                std::string &error) {
        NewFile file;
        int code = 0;
        for (int i = 0; path_.empty(); ++i) {
            const fs::path name = with_suffix(target_, ".sndlatch-tmp" + std::to_string(i));
            if (file.create(utf8_name(name), code))
                path_ = name;
            else if (!is_exists_error(code) || i == 100) {
                // Errors name the user's file, never the temporary one: the caller
                // names it; here is the system's reason.
                error = "cannot create a file in its folder: " + system_reason(code);
                return false;
            }
        }
        std::ostream out(&file);
        try {
            write(out);
        } catch (const std::runtime_error &e) {
            error = e.what();
            return false;
        }
        out.flush();
        if (!file.finish(like, owner_and_time, code)) {
            error = "the file could not be written in full: " + system_reason(code);
            return false;
        }
        if (!out) {
            error = "the file could not be written in full";
            return false;
        }
        return true;
    }

    // Over whatever `to` is, or (with `only_new`) only if `to` is free.
    bool move_to(const fs::path &to, bool only_new, std::string &error) {
        int code = 0;
        if (!(only_new ? rename_new : rename_replacing)(utf8_name(path_), utf8_name(to), code)) {
            error = "cannot replace " + utf8_name(to) + ": " + system_reason(code);
            return false;
        }
        path_.clear();
        return true;
    }

  private:
    fs::path target_, path_;
};

// The folder `path` is in, as it was given.
std::string parent_or_dot(const fs::path &path) {
    return path.has_parent_path() ? utf8_name(path.parent_path()) : ".";
}

// Whether two names in one folder are the same, as the platform compares
// them.
bool same_name(const std::string &a, const std::string &b) {
#ifdef _WIN32
    return iequals(a, b);
#else
    return a == b;
#endif
}

// Removes the temporary files beside `target` that a killed run left:
// only a run holding the lock on `target` writes them, so with the lock
// held, none belongs to a live run.
void remove_leftover_temps(const fs::path &target) {
    const std::string prefix = utf8_name(target.filename()) + ".sndlatch-tmp";
    std::vector<FolderEntry> entries;
    int code = 0;
    if (!list_folder(parent_or_dot(target), entries, code))
        return;
    for (const FolderEntry &e : entries)
        if (e.kind == EntryKind::File && e.name.size() > prefix.size() &&
            same_name(e.name.substr(0, prefix.size()), prefix) &&
            e.name.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            remove_created(target.parent_path() / fs_path(e.name));
}

} // namespace

bool write_atomic(const std::string &path, const std::string &mode_from, RunLock &lock,
                  const Writer &write, std::string &error) {
    remove_leftover_temps(fs_path(path));
    TempFile tmp(fs_path(path));
    if (!tmp.create(write, read_meta(mode_from), false, error))
        return false;
    lock.before_replace();
    if (!tmp.move_to(fs_path(path), false, error))
        return false;
    sync_folder(parent_or_dot(fs_path(path)));
    return true;
}

bool can_replace(const std::string &file, std::string &error) {
    {
        TempFile probe(fs_path(file));
        if (!probe.create([](std::ostream &) {}, FileMeta(), false, error))
            return false;
    }
    int code = 0;
    if (!may_replace(file, code)) {
        error = "the file itself cannot be replaced: " + system_reason(code);
        return false;
    }
    return true;
}

std::string resolve_links(const std::string &path) {
    const std::string target = link_target(path);
    return target.empty() ? path : target;
}

bool same_file(const std::string &a, const std::string &b) {
    std::error_code ec;
    return fs::equivalent(fs_path(a), fs_path(b), ec) && !ec;
}

bool replace_keeping_orig(const std::string &file, FileSource &current, RunLock &lock,
                          const Writer &write, KeptOrig &kept, std::string &error) {
    const fs::path path = fs_path(file), orig = fs_path(file + ".orig");
    const std::string folder = parent_or_dot(path);
    remove_leftover_temps(path);
    std::error_code ec;
    std::shared_ptr<FileSource> old;
    if (entry_exists(orig)) {
        if (!fs::is_regular_file(fs::status(orig, ec))) {
            error = file + ".orig is not a file; move it away first";
            return false;
        }
        old = FileSource::open(file + ".orig", error);
        if (!old) {
            error = file + ".orig: " + error;
            return false;
        }
    }
    const Writer copy_current = [&](std::ostream &out) { write_copy(current, out); };
    const bool keep_old = old && old->size() == current.size() && same_bytes(*old, copy_current);
    if (old)
        old->close();

    // Both new files are on the disk, with the program's mode, owner and
    // time, before anything is renamed.
    const FileMeta meta = read_meta(file);
    TempFile patched(path), copy(path);
    if (!patched.create(write, meta, true, error) ||
        (!keep_old && !copy.create(copy_current, meta, true, error)))
        return false;
    current.close();

    // An older, different .orig takes the first free number; the rename
    // itself checks that the name is free, so nothing is ever replaced.
    fs::path older;
    int code = 0;
    for (int n = 1; old && !keep_old; ++n) {
        older = with_suffix(orig, "." + std::to_string(n));
        if (rename_new(file + ".orig", utf8_name(older), code))
            break;
        if (!is_exists_error(code)) {
            error = "cannot rename " + file + ".orig: " + system_reason(code);
            return false;
        }
    }
    // Each step is undone when a later one fails.
    const auto undo = [&] {
        if (!older.empty() && !rename_new(utf8_name(older), file + ".orig", code))
            error += "; the former " + file + ".orig is now " + utf8_name(older);
        return false;
    };
    if (!keep_old && !copy.move_to(orig, true, error))
        return undo();
    sync_folder(folder);
    lock.before_replace();
    if (!patched.move_to(path, false, error)) {
        if (!keep_old)
            remove_created(orig);
        return undo();
    }
    sync_folder(folder);
    kept.written = !keep_old;
    kept.older_kept_as = older.empty() ? "" : utf8_name(older);
    return true;
}

} // namespace sndlatch
