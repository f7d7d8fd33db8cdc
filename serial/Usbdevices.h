// Every B4K on the machine's USB buses, found by one walk of the device tree
// with the tool's rules (our vendor and product, the instance serial without
// regard to case, the smallest COM number naming one of its ttys), in
// natural order of USB path. The tool's port discovery answers with one
// entry of this list; the station serves all of it. Linux only: Windows has
// its registry.
#pragma once

#include <string>
#include <vector>

namespace usbdevices {

struct B4kDevice {
    std::string usbPath;      // "1-1.3": the USB socket, whatever tty the device got
    std::string folder;       // its sysfs folder, links resolved
    std::string deviceNumber; // "devnum": new at every plug; empty where sysfs has none
    std::string serial;       // as the device reports it
    int comNumber = 0;        // the COM n the tool opens; 0 when no port names its tty
    std::string port;         // the name the tool opens for COM n; empty without one
};

// Every B4K, with or without a port, in natural order of USB path.
std::vector<B4kDevice> List();

// The one the tool's port discovery takes: the first that has a port, else
// the first; nullptr when the list is empty.
const B4kDevice* Chosen(const std::vector<B4kDevice>& devices);

// The folders whose changes may mean that a B4K or its port came or went.
std::vector<std::string> WatchedFolders();

} // namespace usbdevices
