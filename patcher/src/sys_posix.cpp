// The platform layer on Linux and other POSIX systems (see sys.hpp).
#ifndef _WIN32

#include "sys.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>

namespace sndlatch {

namespace {

// A rename that fails when `to` exists: renameat2 where the file system
// has it, else a hard link (which never replaces) and removing `from`.
bool rename_noreplace(const char *from, const char *to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    if (link(from, to) != 0)
        return false;
    unlink(from);
    return true;
}

} // namespace

std::string system_reason(int code) {
    std::string s = std::strerror(code);
    if (s.size() > 1 && s[0] >= 'A' && s[0] <= 'Z' && s[1] >= 'a' && s[1] <= 'z')
        s[0] = char(s[0] - 'A' + 'a');
    return s;
}

int last_error() {
    return errno;
}

bool is_exists_error(int code) {
    return code == EEXIST;
}

FileMeta read_meta(const std::string &path) {
    FileMeta m;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return m;
    m.known = true;
    m.mode = uint32_t(st.st_mode & 07777);
    m.uid = uint32_t(st.st_uid);
    m.gid = uint32_t(st.st_gid);
    m.mtime = int64_t(st.st_mtim.tv_sec);
    m.mtime_nsec = int64_t(st.st_mtim.tv_nsec);
    return m;
}

NewFile::~NewFile() {
    if (handle_ >= 0)
        close(int(handle_));
}

bool NewFile::create(const std::string &path, int &code) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        code = errno;
        return false;
    }
    handle_ = fd;
    error_ = 0;
    setp(buffer_, buffer_ + sizeof buffer_);
    return true;
}

bool NewFile::drain() {
    for (const char *p = pbase(); p < pptr() && error_ == 0;) {
        const ssize_t n = write(int(handle_), p, size_t(pptr() - p));
        if (n < 0 && errno != EINTR)
            error_ = errno;
        else if (n > 0)
            p += n;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
}

NewFile::pos_type NewFile::seekoff(off_type off, std::ios_base::seekdir dir,
                                   std::ios_base::openmode) {
    if (!drain())
        return pos_type(off_type(-1));
    const int whence = dir == std::ios_base::beg   ? SEEK_SET
                       : dir == std::ios_base::cur ? SEEK_CUR
                                                   : SEEK_END;
    const off_t at = lseek(int(handle_), off_t(off), whence);
    if (at < 0) {
        error_ = errno;
        return pos_type(off_type(-1));
    }
    return pos_type(off_type(at));
}

bool NewFile::finish(const FileMeta &like, bool owner_and_time, int &code) {
    const int fd = int(handle_);
    drain();
    if (error_ == 0 && like.known) {
        // The owner first: changing it clears set-user-ID bits. Only root
        // may give a file away, so that may fail.
        if (owner_and_time && fchown(fd, uid_t(like.uid), gid_t(like.gid)) != 0 && errno != EPERM)
            error_ = errno;
        if (error_ == 0 && fchmod(fd, mode_t(like.mode)) != 0)
            error_ = errno;
        const struct timespec times[2] = {{0, UTIME_OMIT},
                                          {time_t(like.mtime), long(like.mtime_nsec)}};
        if (error_ == 0 && owner_and_time && futimens(fd, times) != 0)
            error_ = errno;
    }
    if (error_ == 0 && fsync(fd) != 0)
        error_ = errno;
    if (close(fd) != 0 && error_ == 0)
        error_ = errno;
    handle_ = -1;
    code = error_;
    return error_ == 0;
}

bool rename_replacing(const std::string &from, const std::string &to, int &code) {
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    code = errno;
    return false;
}

bool rename_new(const std::string &from, const std::string &to, int &code) {
    if (rename_noreplace(from.c_str(), to.c_str()))
        return true;
    code = errno;
    return false;
}

bool may_replace(const std::string &, int &) {
    return true; // a rename needs only the folder, which the caller has checked
}

void sync_folder(const std::string &folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

std::string tool_folder() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? "" : self.parent_path().string();
}

std::string final_path(const std::string &path) {
    char *resolved = realpath(path.c_str(), nullptr);
    const std::string s = resolved ? resolved : "";
    std::free(resolved);
    return s;
}

PathKind path_kind(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) ? PathKind::Regular : PathKind::Other;
    // A link to nothing is not a new name either; a name in a missing
    // folder is, and creating it says why not.
    if (errno == ENOTDIR)
        return PathKind::Missing;
    return errno == ENOENT && lstat(path.c_str(), &st) != 0 ? PathKind::Missing : PathKind::Other;
}

std::string link_target(const std::string &path) {
    namespace fs = std::filesystem;
    fs::path p = path;
    std::error_code ec;
    int hops = 0;
    for (; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
        const fs::path target = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return hops == 0 ? "" : p.string();
}

bool list_folder(const std::string &folder, std::vector<FolderEntry> &entries, int &code) {
    entries.clear();
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        code = errno;
        return false;
    }
    const int dfd = dirfd(dir);
    for (;;) {
        errno = 0;
        const dirent *d = readdir(dir);
        if (d == nullptr)
            break;
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
            continue;
        struct stat st;
        EntryKind kind = EntryKind::Other;
        if (fstatat(dfd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            const bool link = S_ISLNK(st.st_mode);
            if (link && fstatat(dfd, d->d_name, &st, 0) != 0)
                st.st_mode = 0; // a link to nothing
            kind = S_ISREG(st.st_mode)    ? EntryKind::File
                   : !S_ISDIR(st.st_mode) ? EntryKind::Other
                   : link                 ? EntryKind::FolderLink
                                          : EntryKind::Folder;
        }
        entries.push_back({d->d_name, kind});
    }
    code = errno;
    closedir(dir);
    return code == 0;
}

} // namespace sndlatch

#endif
