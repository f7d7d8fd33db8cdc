// The B4Ks present that have a port, as the station's slots: the tool's own
// list of devices, each with the terminal behind its COM name resolved.
#pragma once

#include <string>
#include <vector>

struct FoundDevice {
    std::string slot;     // the USB port path, "1-1.3": the socket, whatever tty it got
    std::string folder;   // its folder in sysfs, links resolved
    int comNumber = 0;    // the COM n the tool would find
    std::string portPath; // the terminal behind COM n, links resolved
    std::string instance; // its USB device number: new at every plug; empty where sysfs has none
    std::string serial;   // as the device reports it
    std::string port;     // the name the tool opens for COM n
};

class UsbScanner {
  public:
    // The devices whose port is there, in natural order of slot.
    std::vector<FoundDevice> Scan() const;

    // The folders whose changes may mean a device came or went.
    std::vector<std::string> WatchedFolders() const;
};
