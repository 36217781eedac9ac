// Writing files: temporary files renamed into place, and the in-place
// replacement that keeps the former program as .orig.
#include "files.hpp"

#include <cerrno>
#include <ostream>
#include <system_error>

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

// A temporary file beside `target`, removed again unless it was moved into
// place.
class TempFile {
  public:
    explicit TempFile(const fs::path &target) : target_(target) {}
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (!path_.empty())
            remove_created(path_);
    }

    // Creates it under the first free name with what `write` gives and the
    // permissions of `mode_from` (if not empty).
    bool create(const Writer &write, const fs::path &mode_from, std::string &error) {
        for (int i = 0;; ++i) {
            path_ = with_suffix(target_, ".sndlatch-tmp" + std::to_string(i));
            if (!entry_exists(path_))
                break;
            if (i == 100) {
                path_.clear();
                error = "no free name for a temporary file beside it";
                return false;
            }
        }
        // Errors name the user's file, never the temporary one: the caller
        // names it; here is the system's reason.
        errno = 0;
        std::ofstream f(path_, std::ios::binary | std::ios::trunc);
        if (!f) {
            error = "cannot create a file in its folder: " + system_reason("it was refused");
            return false;
        }
        try {
            errno = 0;
            write(f);
            if (!f) {
                error = system_reason("the file could not be written in full");
                return false;
            }
        } catch (const std::runtime_error &e) {
            error = e.what();
            return false;
        }
        errno = 0;
        f.close();
        if (!f) {
            error = system_reason("the file could not be written in full");
            return false;
        }
        std::error_code ec;
        if (!mode_from.empty()) {
            const fs::perms p = fs::status(mode_from, ec).permissions();
            if (!ec)
                fs::permissions(path_, p, ec);
        }
        return true;
    }

    bool move_to(const fs::path &to, std::string &error) {
        std::error_code ec;
        fs::rename(path_, to, ec);
        if (ec) {
            error = "cannot replace " + utf8_name(to) + ": " + ec.message();
            return false;
        }
        path_.clear();
        return true;
    }

  private:
    fs::path target_, path_;
};

} // namespace

bool write_atomic(const std::string &path, const std::string &mode_from, const Writer &write,
                  std::string &error) {
    TempFile tmp(fs_path(path));
    return tmp.create(write, mode_from.empty() ? fs::path() : fs_path(mode_from), error) &&
           tmp.move_to(fs_path(path), error);
}

std::string resolve_links(const std::string &path) {
    fs::path p = fs_path(path);
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
        const fs::path target = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return utf8_name(p);
}

bool same_file(const std::string &a, const std::string &b) {
    std::error_code ec;
    return fs::equivalent(fs_path(a), fs_path(b), ec) && !ec;
}

bool replace_keeping_orig(const std::string &file, FileSource &current, const Writer &write,
                          KeptOrig &kept, std::string &error) {
    const fs::path path = fs_path(file), orig = fs_path(file + ".orig");
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

    // Both new files are written in full before anything is renamed.
    TempFile patched(path), copy(path);
    if (!patched.create(write, path, error) ||
        (!keep_old && !copy.create(copy_current, path, error)))
        return false;
    current.close();

    fs::path older;
    if (old && !keep_old) {
        older = with_suffix(orig, ".1");
        for (int n = 2; entry_exists(older); ++n)
            older = with_suffix(orig, "." + std::to_string(n));
        fs::rename(orig, older, ec);
        if (ec) {
            error = "cannot rename " + file + ".orig: " + ec.message();
            return false;
        }
    }
    // Each step is undone when a later one fails.
    const auto undo = [&] {
        if (!older.empty()) {
            fs::rename(older, orig, ec);
            if (ec)
                error += "; the former " + file + ".orig is now " + utf8_name(older);
        }
        return false;
    };
    if (!keep_old && !copy.move_to(orig, error))
        return undo();
    if (!patched.move_to(path, error)) {
        if (!keep_old)
            remove_created(orig);
        return undo();
    }
    kept.written = !keep_old;
    kept.older_kept_as = older.empty() ? "" : utf8_name(older);
    return true;
}

} // namespace sndlatch
