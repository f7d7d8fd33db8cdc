#include "NameClaim.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

pid_t ReadHolder(int fd) {
    char text[24] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? static_cast<pid_t>(std::strtol(text, nullptr, 10)) : 0;
}

// The file still has the name we opened it by: its last holder did not
// remove it between our open and our lock.
bool StillNamed(int fd, const std::string& path) {
    struct stat opened {
    }, named{};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

} // namespace

NameClaim::Outcome NameClaim::Take(const std::string& folder, const std::string& name) {
    Release();
    const std::string file = folder + "/." + name + ".lock";
    for (;;) {
        const int opened = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (opened < 0) {
            return Outcome::Failed;
        }
        if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
            const bool held = errno == EWOULDBLOCK;
            // The holder writes its number just after taking the lock: a
            // claimant that came in between waits a moment (0.1 s at most) to name it.
            holder = 0;
            for (int tries = 0; held && holder == 0 && tries < 50; ++tries) {
                holder = ReadHolder(opened);
                if (holder == 0) {
                    ::usleep(2000);
                }
            }
            ::close(opened);
            return held ? Outcome::HeldByOther : Outcome::Failed;
        }
        if (StillNamed(opened, file)) {
            fd = opened;
            path = file;
            break;
        }
        ::close(opened);
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        const int cause = errno;
        Release();
        errno = cause;
        return Outcome::Failed;
    }
    return Outcome::Taken;
}

void NameClaim::Release() {
    if (fd >= 0) {
        ::unlink(path.c_str());
        ::close(fd);
        fd = -1;
        path.clear();
    }
}
