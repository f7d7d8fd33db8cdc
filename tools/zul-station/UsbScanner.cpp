#include "UsbScanner.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace {

constexpr unsigned long kVendorId = 0x2C7A;
constexpr unsigned long kProductId = 0x0001;
constexpr const char* kSerial = "DEMO_1.000";
constexpr int kHighestPort = 255;

std::string Environment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    return line;
}

bool HexAttributeIs(const fs::path& file, unsigned long expected) {
    const std::string text = ReadAttribute(file);
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, 16);
    return !text.empty() && failure == std::errc{} && stop == end && value == expected;
}

bool IsB4k(const fs::path& folder) {
    return HexAttributeIs(folder / "idVendor", kVendorId) &&
           HexAttributeIs(folder / "idProduct", kProductId) &&
           ReadAttribute(folder / "serial") == kSerial;
}

// "major:minor" of a tty's dev attribute; 0 when unreadable.
dev_t DeviceNumbers(const std::string& text) {
    unsigned int majorNumber = 0;
    unsigned int minorNumber = 0;
    const char* end = text.data() + text.size();
    const auto first = std::from_chars(text.data(), end, majorNumber);
    if (first.ec != std::errc{} || first.ptr == end || *first.ptr != ':') {
        return 0;
    }
    const auto second = std::from_chars(first.ptr + 1, end, minorNumber);
    return second.ec == std::errc{} && second.ptr == end ? makedev(majorNumber, minorNumber) : 0;
}

// The ttys under the device's interfaces "<slot>:<config>.<interface>".
std::set<dev_t> Ttys(const fs::path& folder) {
    std::set<dev_t> ttys;
    const std::string prefix = folder.filename().string() + ":";
    std::error_code failure;
    for (fs::directory_iterator it(folder, failure), end; !failure && it != end;
         it.increment(failure)) {
        if (!it->path().filename().string().starts_with(prefix)) {
            continue;
        }
        std::error_code ignored;
        for (fs::directory_iterator tty(it->path() / "tty", ignored), last; !ignored && tty != last;
             tty.increment(ignored)) {
            if (const dev_t numbers = DeviceNumbers(ReadAttribute(tty->path() / "dev"))) {
                ttys.insert(numbers);
            }
        }
    }
    return ttys;
}

// COM n as the tool names it: the port folder's entry, else the n-th USB modem.
fs::path PortName(const std::string& portDir, int n) {
    const fs::path entry = fs::path(portDir) / ("COM" + std::to_string(n));
    struct stat info {};
    return lstat(entry.c_str(), &info) == 0 ? entry
                                            : fs::path("/dev/ttyACM" + std::to_string(n - 1));
}

bool NamesOneOf(const fs::path& port, const std::set<dev_t>& ttys) {
    struct stat info {};
    return stat(port.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && ttys.count(info.st_rdev) != 0;
}

// Fills in the smallest COM n that names one of the device's ttys; false if none.
bool FindPort(const std::string& portDir, FoundDevice& device) {
    const std::set<dev_t> ttys = Ttys(device.folder);
    for (int n = 1; n <= kHighestPort && !ttys.empty(); ++n) {
        const fs::path port = PortName(portDir, n);
        std::error_code failure;
        if (NamesOneOf(port, ttys)) {
            device.comNumber = n;
            device.portPath = fs::canonical(port, failure).string();
            return !failure;
        }
    }
    return false;
}

} // namespace

UsbScanner::UsbScanner()
    : sysfsRoot(Environment("ZUL_SYSFS_ROOT", "/sys")),
      portDir(Environment("ZUL_PORT_DIR", "/dev/zul")) {}

std::vector<FoundDevice> UsbScanner::Scan() const {
    std::vector<FoundDevice> found;
    std::error_code failure;
    for (fs::directory_iterator it(fs::path(sysfsRoot) / "bus" / "usb" / "devices", failure), end;
         !failure && it != end; it.increment(failure)) {
        std::error_code unresolved;
        FoundDevice device;
        device.slot = it->path().filename().string();
        device.folder = fs::canonical(it->path(), unresolved).string();
        if (!unresolved && IsB4k(device.folder) && FindPort(portDir, device)) {
            device.instance = ReadAttribute(fs::path(device.folder) / "devnum");
            found.push_back(device);
        }
    }
    std::sort(found.begin(), found.end(),
              [](const FoundDevice& a, const FoundDevice& b) { return a.slot < b.slot; });
    return found;
}

std::vector<std::string> UsbScanner::WatchedFolders() const {
    return {(fs::path(sysfsRoot) / "bus" / "usb" / "devices").string(), portDir, "/dev"};
}
