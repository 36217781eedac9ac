// The lock per program on Linux and other POSIX systems (see RunLock in
// sys.hpp).
#ifndef _WIN32

#include "sys.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>

namespace sndlatch {

RunLock::~RunLock() {
    release();
}

bool RunLock::take(const std::string &file, std::ostream &err, std::string &) {
    release();
    const std::string path = file + ".sndlatch-lock";
    bool said = false;
    for (;;) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return true; // no run can write in this folder
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (!said)
                err << "sndlatch-patch: waiting for another run on " << file << "\n";
            said = true;
            while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        // The run before may have removed the lock file while this one
        // waited on it: then the lock is on a file nobody else sees.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            handle_ = fd;
            lock_path_ = path;
            break;
        }
        close(fd);
    }
    return true;
}

void RunLock::before_replace() {}

void RunLock::release() {
    if (handle_ < 0)
        return;
    // Removed while still held, so that a run waiting on it notices.
    unlink(lock_path_.c_str());
    close(int(handle_));
    handle_ = -1;
}

} // namespace sndlatch

#endif
