// Finds the B4Ks present, as the tool's port discovery does: USB devices in
// sysfs ($ZUL_SYSFS_ROOT, default /sys) with the device's vendor, product
// and serial, each with the COM port that names one of its ttys
// ($ZUL_PORT_DIR/COM<n>, default /dev/zul, else /dev/ttyACM<n-1>).
#pragma once

#include <string>
#include <vector>

struct FoundDevice {
    std::string slot;     // the USB port path, "1-1.3": the socket, whatever tty it got
    std::string folder;   // its folder in sysfs, links resolved
    int comNumber = 0;    // the COM n the tool would find
    std::string portPath; // the terminal behind COM n, links resolved
    std::string instance; // its USB device number: new at every plug; empty where sysfs has none
};

class UsbScanner {
  public:
    UsbScanner();

    // The devices whose port is there, by slot.
    std::vector<FoundDevice> Scan() const;

    // The folders whose changes may mean a device came or went.
    std::vector<std::string> WatchedFolders() const;

  private:
    std::string sysfsRoot;
    std::string portDir;
};
