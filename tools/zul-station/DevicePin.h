// What one run is allowed to see: a sysfs root holding only its device's
// folder and a port folder holding only its COM link, so that the tool's
// discovery can find that device and no other.
#pragma once

#include <string>
#include <vector>

#include "UsbScanner.h"

class DevicePin {
  public:
    // Makes the two folders under `folder`, replacing whatever was there;
    // both stay empty for a device without a slot.
    DevicePin(std::string viewFolder, const FoundDevice& device);
    // Removes them; the device itself is not touched.
    ~DevicePin();
    DevicePin(const DevicePin&) = delete;
    DevicePin& operator=(const DevicePin&) = delete;

    bool Made() const { return made; }
    const std::string& Folder() const { return folder; }
    // For the tool's ZUL_SYSFS_ROOT and ZUL_PORT_DIR.
    std::string SysfsRoot() const;
    std::string PortDir() const;

  private:
    std::string folder;
    std::vector<std::string> links;
    bool made = false;
};
