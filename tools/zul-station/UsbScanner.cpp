#include "UsbScanner.h"

#include <filesystem>

#include "serial/Usbdevices.h"

std::vector<FoundDevice> UsbScanner::Scan() const {
    std::vector<FoundDevice> found;
    for (const usbdevices::B4kDevice& device : usbdevices::List()) {
        std::error_code failure;
        const std::string terminal = std::filesystem::canonical(device.port, failure).string();
        if (device.comNumber == 0 || failure) {
            continue;
        }
        found.push_back({device.usbPath, device.folder, device.comNumber, terminal,
                         device.deviceNumber, device.serial, device.port});
    }
    return found;
}

std::vector<std::string> UsbScanner::WatchedFolders() const {
    return usbdevices::WatchedFolders();
}
