#include "DevicePin.h"

#include <filesystem>

namespace fs = std::filesystem;

DevicePin::DevicePin(std::string viewFolder, const FoundDevice& device)
    : folder(std::move(viewFolder)) {
    const fs::path devices = fs::path(SysfsRoot()) / "bus" / "usb" / "devices";
    std::error_code failure;
    fs::remove_all(folder, failure);
    fs::create_directories(devices, failure);
    if (!failure) {
        fs::create_directories(PortDir(), failure);
    }
    if (device.slot.empty()) { // a view of no device at all
        made = !failure;
        return;
    }
    if (!failure) {
        fs::create_symlink(device.folder, devices / device.slot, failure);
    }
    if (!failure) {
        fs::create_symlink(device.portPath,
                           fs::path(PortDir()) / ("COM" + std::to_string(device.comNumber)),
                           failure);
    }
    made = !failure;
}

DevicePin::~DevicePin() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::remove(fs::path(folder).parent_path(), ignored); // the views' folder, once empty
}

std::string DevicePin::SysfsRoot() const {
    return (fs::path(folder) / "sys").string();
}

std::string DevicePin::PortDir() const {
    return (fs::path(folder) / "port").string();
}
