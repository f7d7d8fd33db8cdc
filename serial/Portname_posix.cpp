// COM n on a POSIX system: a named entry (usually a udev symlink) in the port
// directory, or else the n-th USB modem-class device.
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "serial/Serialport.h"

namespace {

std::string PortDirectory() {
    const char* dir = std::getenv("ZUL_PORT_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/dev/zul";
}

} // namespace

namespace serialport {

std::string PortDeviceName(int portNumber) {
    if (portNumber < 1) {
        return {};
    }
    const std::string entry = PortDirectory() + "/COM" + std::to_string(portNumber);
    // lstat: a dangling link still names this port, which then fails to open,
    // rather than silently standing for some other device.
    struct stat info {};
    if (lstat(entry.c_str(), &info) == 0) {
        return entry;
    }
    return "/dev/ttyACM" + std::to_string(portNumber - 1);
}

} // namespace serialport
