#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/Progresstarget.h"

namespace {

// Never blocks: a FIFO without a reader fails at once (ENXIO) instead of
// waiting for one, and a full one refuses the byte instead of holding the run.
int OpenForWriting(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
}

bool WriteByte(int fd, std::uint8_t progress) {
    const bool written = write(fd, &progress, 1) == 1;
    return close(fd) == 0 && written;
}

// The new file takes the old one's owner and mode before it takes its place.
bool FillNeighbour(int fd, const struct stat& old, std::uint8_t progress) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0 || fchmod(fd, old.st_mode & 07777) != 0) {
        close(fd);
        return false;
    }
    return WriteByte(fd, progress);
}

} // namespace

bool CreateProgressFile(const std::string& name) {
    const int fd = OpenForWriting(name);
    if (fd < 0) {
        return errno == ENXIO; // a FIFO whose reader may come later
    }
    close(fd);
    return true;
}

// A link is followed to its final target, which is then what gets written;
// a hard-linked file is written in place so that all its names see the value.
ProgressTarget FindProgressTarget(const std::string& name) {
    char resolved[PATH_MAX];
    ProgressTarget target;
    target.path = realpath(name.c_str(), resolved) != nullptr ? resolved : name;
    struct stat status {};
    target.replaceable =
        lstat(target.path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
    return target;
}

// A unique neighbour, so that no file of the user's is ever overwritten.
bool ReplaceProgressFile(const ProgressTarget& target, std::uint8_t progress) {
    struct stat old {};
    if (stat(target.path.c_str(), &old) != 0) {
        return false;
    }
    std::string neighbour = target.path + ".XXXXXX";
    const int fd = mkostemp(neighbour.data(), O_CLOEXEC);
    if (fd < 0) {
        return false; // the folder takes no new entry
    }
    if (FillNeighbour(fd, old, progress) && rename(neighbour.c_str(), target.path.c_str()) == 0) {
        return true;
    }
    unlink(neighbour.c_str());
    return false;
}

void WriteProgressInPlace(const std::string& path, std::uint8_t progress) {
    if (const int fd = OpenForWriting(path); fd >= 0) {
        WriteByte(fd, progress);
    }
}
