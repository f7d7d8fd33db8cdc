// The registry on Linux: the one key port discovery asks for is answered
// from the list of B4Ks in sysfs. Key and value names compare without regard
// to case, as Windows does; of several B4Ks the first, in natural order,
// that has a port answers.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <string_view>

#include "serial/Registry.h"
#include "serial/Usbdevices.h"

namespace {

constexpr std::string_view kDeviceKey =
    "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_2C7A&PID_0001\\DEMO_1.000\\DEVICE PARAMETERS";
constexpr std::string_view kPortNameValue = "PORTNAME";

// What an open key stands for: the B4K it was opened on, with its port as found then.
struct OpenDevice {
    int comNumber = 0;
};

bool SameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

} // namespace

namespace registry {

std::int32_t OpenKey(const std::string& path, Key& key) {
    if (!SameName(path, kDeviceKey)) {
        return kFileNotFound;
    }
    const std::vector<usbdevices::B4kDevice> devices = usbdevices::List();
    const usbdevices::B4kDevice* chosen = usbdevices::Chosen(devices);
    if (chosen == nullptr) {
        return kFileNotFound;
    }
    auto* device = new (std::nothrow) OpenDevice{chosen->comNumber};
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
    const int port = reinterpret_cast<const OpenDevice*>(key)->comNumber;
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
