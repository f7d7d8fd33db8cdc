// The Linux registry answering from fake sysfs trees whose ttys are character
// devices (it only compares device numbers), linked as COM ports in a
// temporary port directory (the simulator's own tree is read by the device
// detection tests); and the station's --list on the same trees, which must
// find the devices the tool finds, the one the tool takes first.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "Processrunner.h"
#include "Tempdir.h"
#include "serial/Serialcomportenumeration.h"

namespace {

namespace fs = std::filesystem;

// USB device `name` under `sys` with these attributes and one interface listing `tty`.
void AddDevice(const fs::path& sys, const std::string& name, const std::string& vendor,
               const std::string& product, const std::string& serial, const char* tty) {
    const fs::path folder = sys / "bus" / "usb" / "devices" / name;
    const fs::path entry = folder / (name + ":1.0") / "tty" / "ttyACM0";
    fs::create_directories(entry);
    std::ofstream(folder / "idVendor") << vendor;
    std::ofstream(folder / "idProduct") << product;
    std::ofstream(folder / "serial") << serial;
    struct stat info {};
    ASSERT_EQ(stat(tty, &info), 0);
    std::ofstream(entry / "dev") << major(info.st_rdev) << ":" << minor(info.st_rdev) << "\n";
}

// Two devices alike, 1-10 and 1-2: the first in natural order answers with
// the smallest port of its tty; another USB serial device has a smaller port.
// The station lists both, in the same order, with the ports the tool opens.
TEST(SysfsRegistry, TakesOnlyOurIdsAndInstanceThenTheFirstDeviceAndItsSmallestPort) {
    const struct {
        std::string vendor, product, serial;
        int port;
    } cases[] = {
        {"2c7a\n", "0001\n", "DEMO_1.000\n", 5}, {"2C7A", "0001", "demo_1.000", 5},
        {"2c7b\n", "0001\n", "DEMO_1.000\n", 0}, {"2c7a\n", "0002\n", "DEMO_1.000\n", 0},
        {"2c7a\n", "0001\n", "DEMO_2.000\n", 0},
    };
    Tempdir dir;
    const fs::path sys = dir.Path() / "sys";
    setenv("ZUL_SYSFS_ROOT", sys.c_str(), 1);
    setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
    for (const auto& [com, tty] :
         {std::pair{7, "/dev/null"}, {5, "/dev/null"}, {3, "/dev/zero"}, {2, "/dev/full"}}) {
        fs::create_symlink(tty, dir.Path() / ("COM" + std::to_string(com)));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vendor + c.product + c.serial);
        fs::remove_all(sys);
        AddDevice(sys, "1-1", "1d6b\n", "0001\n", "DEMO_1.000\n", "/dev/full");
        AddDevice(sys, "1-10", c.vendor, c.product, c.serial, "/dev/zero");
        AddDevice(sys, "1-2", c.vendor, c.product, c.serial, "/dev/null");
        EXPECT_EQ(TSerialCOMPortEnumeration().GetDevicePortNumber(), c.port);
        const ProcessResult list = RunProcess(ZUL_STATION_PATH, {"--list"});
        const std::string com = (dir.Path() / "COM").string();
        EXPECT_EQ(std::regex_replace(list.out, std::regex(" +"), " "),
                  c.port == 0 ? "" : "1-2 " + com + "5\n1-10 " + com + "3\n");
        EXPECT_EQ(list.exitStatus, c.port == 0 ? 1 : 0);
    }
}

} // namespace
