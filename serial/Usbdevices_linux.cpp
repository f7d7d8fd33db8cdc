// The B4Ks in sysfs ($ZUL_SYSFS_ROOT, default /sys): USB devices listing the
// tty devices of their interfaces, matched with the COM names the tool opens
// by device number.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "runtime/Naturalorder.h"
#include "serial/Serialport.h"
#include "serial/Usbdevices.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned long kVendorId = 0x2C7A;
constexpr unsigned long kProductId = 0x0001;
constexpr std::string_view kInstanceSerial = "DEMO_1.000";
constexpr int kHighestPort = 255;

// The serial is compared without regard to case, as the registry key that
// holds it is on Windows.
bool SameText(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

std::string Environment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

fs::path DevicesFolder() {
    return fs::path(Environment("ZUL_SYSFS_ROOT", "/sys")) / "bus" / "usb" / "devices";
}

// The first line of a sysfs attribute, without its line end.
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
           SameText(ReadAttribute(folder / "serial"), kInstanceSerial);
}

bool ParseDeviceNumbers(const std::string& text, dev_t& device) {
    unsigned int majorNumber = 0;
    unsigned int minorNumber = 0;
    const char* end = text.data() + text.size();
    const auto first = std::from_chars(text.data(), end, majorNumber);
    if (first.ec != std::errc{} || first.ptr == end || *first.ptr != ':') {
        return false;
    }
    const auto second = std::from_chars(first.ptr + 1, end, minorNumber);
    device = makedev(majorNumber, minorNumber);
    return second.ec == std::errc{} && second.ptr == end;
}

// The tty devices under the device's interfaces "<D>:<config>.<interface>".
std::set<dev_t> TtyDevices(const fs::path& folder) {
    std::set<dev_t> devices;
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
            dev_t device{};
            if (ParseDeviceNumbers(ReadAttribute(tty->path() / "dev"), device)) {
                devices.insert(device);
            }
        }
    }
    return devices;
}

bool NamesDevice(const std::string& portName, const std::set<dev_t>& devices) {
    struct stat info {};
    return !portName.empty() && stat(portName.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
           devices.count(info.st_rdev) != 0;
}

// The smallest COM number whose port is one of the device's ttys, and its name.
void FindPort(usbdevices::B4kDevice& device) {
    const std::set<dev_t> devices = TtyDevices(device.folder);
    for (int n = 1; n <= kHighestPort && !devices.empty(); ++n) {
        std::string name = serialport::PortDeviceName(n);
        if (NamesDevice(name, devices)) {
            device.comNumber = n;
            device.port = std::move(name);
            return;
        }
    }
}

} // namespace

namespace usbdevices {

std::vector<B4kDevice> List() {
    std::vector<B4kDevice> found;
    std::error_code failure;
    for (fs::directory_iterator it(DevicesFolder(), failure), end; !failure && it != end;
         it.increment(failure)) {
        std::error_code unresolved;
        B4kDevice device;
        device.usbPath = it->path().filename().string();
        device.folder = fs::canonical(it->path(), unresolved).string();
        if (unresolved || !IsB4k(device.folder)) {
            continue;
        }
        device.deviceNumber = ReadAttribute(fs::path(device.folder) / "devnum");
        device.serial = ReadAttribute(fs::path(device.folder) / "serial");
        FindPort(device);
        found.push_back(std::move(device));
    }
    std::sort(found.begin(), found.end(), [](const B4kDevice& a, const B4kDevice& b) {
        return NaturalLess(a.usbPath, b.usbPath);
    });
    return found;
}

const B4kDevice* Chosen(const std::vector<B4kDevice>& devices) {
    const auto withPort = std::find_if(devices.begin(), devices.end(), [](const B4kDevice& device) {
        return device.comNumber != 0;
    });
    if (withPort != devices.end()) {
        return &*withPort;
    }
    return devices.empty() ? nullptr : &devices.front();
}

std::vector<std::string> WatchedFolders() {
    return {DevicesFolder().string(), Environment("ZUL_PORT_DIR", "/dev/zul"), "/dev"};
}

} // namespace usbdevices
