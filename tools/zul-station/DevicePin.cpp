#include "DevicePin.h"

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The view's folders, each after its parent: made one by one and removed in
// reverse with a system call each, since a start and an end of a run are the
// station's main cost beside the wait (a recursive walk takes ten times the calls).
constexpr const char* kFolders[] = {
    "", "/sys", "/sys/bus", "/sys/bus/usb", "/sys/bus/usb/devices", "/port"};

bool MakeFolders(const std::string& folder) {
    std::error_code failure;
    fs::create_directories(fs::path(folder).parent_path(), failure);
    for (const char* sub : kFolders) {
        if (mkdir((folder + sub).c_str(), 0755) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

DevicePin::DevicePin(std::string viewFolder, const FoundDevice& device)
    : folder(std::move(viewFolder)) {
    struct stat old {};
    std::error_code ignored;
    if (lstat(folder.c_str(), &old) == 0) { // a leftover of a station that was killed
        fs::remove_all(folder, ignored);
    }
    made = MakeFolders(folder);
    if (!made || device.slot.empty()) { // a view of no device at all
        return;
    }
    links = {SysfsRoot() + "/bus/usb/devices/" + device.slot,
             PortDir() + "/COM" + std::to_string(device.comNumber)};
    made = symlink(device.folder.c_str(), links[0].c_str()) == 0 &&
           symlink(device.portPath.c_str(), links[1].c_str()) == 0;
}

DevicePin::~DevicePin() {
    for (const std::string& link : links) {
        unlink(link.c_str());
    }
    bool removed = true;
    for (auto sub = std::rbegin(kFolders); sub != std::rend(kFolders) && removed; ++sub) {
        removed = rmdir((folder + *sub).c_str()) == 0 || errno == ENOENT;
    }
    std::error_code ignored;
    if (!removed) { // something else was put there
        fs::remove_all(folder, ignored);
    }
    rmdir(fs::path(folder).parent_path().c_str()); // the views' folder, once empty
}

std::string DevicePin::SysfsRoot() const {
    return folder + "/sys";
}

std::string DevicePin::PortDir() const {
    return folder + "/port";
}
