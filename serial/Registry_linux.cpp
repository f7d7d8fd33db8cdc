// The registry on Linux: the one key port discovery asks for is answered
// from sysfs, where the USB device with our vendor and product IDs and
// instance serial lists the tty devices of its interfaces. The instance
// serial compares without regard to case, as a registry key name does; of
// several such devices the first, in natural order, that has a port answers.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

#include "runtime/Naturalorder.h"
#include "serial/Registry.h"
#include "serial/Serialport.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDeviceKey =
    "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_2C7A&PID_0001\\DEMO_1.000\\DEVICE PARAMETERS";
constexpr std::string_view kPortNameValue = "PORTNAME";
constexpr unsigned long kVendorId = 0x2C7A;
constexpr unsigned long kProductId = 0x0001;
constexpr std::string_view kInstanceSerial = "DEMO_1.000";
constexpr int kHighestPort = 255;

// What an open key stands for: the USB device's folder under sysfs.
struct OpenDevice {
    fs::path folder;
};

// Registry names are compared without regard to case, as Windows does.
bool SameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

fs::path SysfsRoot() {
    const char* root = std::getenv("ZUL_SYSFS_ROOT");
    return root != nullptr && *root != '\0' ? root : "/sys";
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

bool IsOurDevice(const fs::path& folder) {
    return HexAttributeIs(folder / "idVendor", kVendorId) &&
           HexAttributeIs(folder / "idProduct", kProductId) &&
           SameName(ReadAttribute(folder / "serial"), kInstanceSerial);
}

// In natural order, so that the same tree always gives the same device.
std::vector<fs::path> UsbDevices() {
    std::vector<fs::path> devices;
    std::error_code failure;
    for (fs::directory_iterator it(SysfsRoot() / "bus" / "usb" / "devices", failure), end;
         !failure && it != end; it.increment(failure)) {
        devices.push_back(it->path());
    }
    std::sort(devices.begin(), devices.end(), [](const fs::path& a, const fs::path& b) {
        return NaturalLess(a.filename().string(), b.filename().string());
    });
    return devices;
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

// The smallest COM number whose port is one of the device's ttys; 0 if none.
int PortOfDevice(const fs::path& folder) {
    const std::set<dev_t> devices = TtyDevices(folder);
    for (int n = 1; n <= kHighestPort && !devices.empty(); ++n) {
        if (NamesDevice(serialport::PortDeviceName(n), devices)) {
            return n;
        }
    }
    return 0;
}

// The first of our devices that has a port, else the first of them (its key
// then exists without the value, as for a device whose port is gone); empty
// when there is none.
fs::path OurDevice() {
    fs::path first;
    for (const fs::path& folder : UsbDevices()) {
        if (!IsOurDevice(folder)) {
            continue;
        }
        if (PortOfDevice(folder) != 0) {
            return folder;
        }
        if (first.empty()) {
            first = folder;
        }
    }
    return first;
}

} // namespace

namespace registry {

std::int32_t OpenKey(const std::string& path, Key& key) {
    if (!SameName(path, kDeviceKey)) {
        return kFileNotFound;
    }
    const fs::path chosen = OurDevice();
    if (chosen.empty()) {
        return kFileNotFound;
    }
    auto* device = new (std::nothrow) OpenDevice{chosen};
    if (device == nullptr) {
        return kNotEnoughMemory;
    }
    key = reinterpret_cast<Key>(device);
    return kSuccess;
}

std::int32_t QueryValue(Key key, const std::string& name, std::uint8_t* buffer,
                        std::uint32_t& size) {
    if (!SameName(name, kPortNameValue)) {
        return kFileNotFound;
    }
    const int port = PortOfDevice(reinterpret_cast<const OpenDevice*>(key)->folder);
    if (port == 0) {
        return kFileNotFound;
    }
    const std::string value = "COM" + std::to_string(port);
    const auto needed = static_cast<std::uint32_t>(value.size() + 1); // with its terminating zero
    if (size < needed) {
        size = needed;
        return kMoreData;
    }
    std::memcpy(buffer, value.c_str(), needed);
    size = needed;
    return kSuccess;
}

void CloseKey(Key key) {
    delete reinterpret_cast<OpenDevice*>(key);
}

std::string SystemMessage(std::int32_t code) {
    switch (code) {
    case kFileNotFound:
        return "The system cannot find the file specified.\r\n";
    case kNotEnoughMemory:
        return "Not enough memory resources are available to process this command.\r\n";
    case kMoreData:
        return "More data is available.\r\n";
    default:
        return {};
    }
}

} // namespace registry
