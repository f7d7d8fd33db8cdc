// The Linux registry answering from fake sysfs trees whose ttys are real
// pseudo-terminals, linked as COM ports in a temporary port directory (the
// simulator's own tree is read by the device detection tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "Tempdir.h"
#include "serial/Registry.h"
#include "serial/Serialcomportenumeration.h"

namespace {

namespace fs = std::filesystem;

const std::string kKeyPath =
    "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_2C7A&PID_0001\\DEMO_1.000\\DEVICE PARAMETERS";
const std::string kValueMissing =
    "\r\n[RegOpenKeyEx|QueryStringValue] Erreur(2): The system cannot find the file specified.\r\n";
const std::string kKeyMissing = "\r\n[RegOpenKeyEx]" + kValueMissing;

struct Pty {
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    Pty() { EXPECT_TRUE(fd >= 0 && grantpt(fd) == 0 && unlockpt(fd) == 0); }
    ~Pty() { close(fd); }
    std::string Slave() const { return ptsname(fd); }
};

class SysfsRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ZUL_SYSFS_ROOT", sys.c_str(), 1);
        setenv("ZUL_PORT_DIR", ports.c_str(), 1);
        fs::create_directories(ports);
    }
    // USB device `name` with these attributes and, given `tty`, one interface listing it.
    void AddDevice(const std::string& name, const std::string& vendor, const std::string& product,
                   const std::string& serial, const Pty* tty) {
        const fs::path folder = sys / "bus" / "usb" / "devices" / name;
        const fs::path entry = folder / (name + ":1.0") / "tty" / "ttyACM0";
        fs::create_directories(tty != nullptr ? entry : folder);
        std::ofstream(folder / "idVendor") << vendor;
        std::ofstream(folder / "idProduct") << product;
        std::ofstream(folder / "serial") << serial;
        struct stat info {};
        if (tty != nullptr && stat(tty->Slave().c_str(), &info) == 0) {
            std::ofstream(entry / "dev")
                << major(info.st_rdev) << ":" << minor(info.st_rdev) << "\n";
        }
    }
    void Link(int com, const Pty& tty) {
        fs::create_symlink(tty.Slave(), ports / ("COM" + std::to_string(com)));
    }
    static std::pair<std::uint8_t, std::string> Discover() {
        testing::internal::CaptureStderr();
        const std::uint8_t port = TSerialCOMPortEnumeration().GetDevicePortNumber();
        return {port, testing::internal::GetCapturedStderr()};
    }

    Tempdir dir;
    const fs::path sys = dir.Path() / "sys";
    const fs::path ports = dir.Path() / "dev";
    Pty ours, other;
};

TEST_F(SysfsRegistry, TakesOnlyOurIdsAndInstanceAndTheSmallestPortOfItsTty) {
    const struct {
        std::string vendor, product, serial;
        std::uint8_t port;
        std::string errors;
    } cases[] = {
        {"2c7a\n", "0001\n", "DEMO_1.000\n", 3, ""},
        {"2C7A", "0001", "DEMO_1.000", 3, ""},
        {"2c7a\n", "0001\n", "demo_1.000\n", 3, ""},
        {"2c7a\n", "0001\n", "DEMO_2.000\n", 0, kKeyMissing},
        {"2c7b\n", "0001\n", "DEMO_1.000\n", 0, kKeyMissing},
        {"12c7a\n", "0001\n", "DEMO_1.000\n", 0, kKeyMissing},
        {"2c7ag\n", "0001\n", "DEMO_1.000\n", 0, kKeyMissing},
        {"2c7a\n", "0002\n", "DEMO_1.000\n", 0, kKeyMissing},
    };
    Link(2, other);
    Link(7, ours);
    Link(3, ours);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vendor + c.product + c.serial);
        fs::remove_all(sys);
        // Another USB serial device comes first, on a smaller port.
        AddDevice("1-1", "1d6b\n", "0001\n", "DEMO_1.000\n", &other);
        AddDevice("1-2", c.vendor, c.product, c.serial, &ours);
        EXPECT_EQ(Discover(), std::make_pair(c.port, c.errors));
    }
}

// Several devices with our IDs and serial: the first in natural order that
// has a port answers; one without a tty or a port hides none after it.
TEST_F(SysfsRegistry, FirstOfOurDevicesWithAPortAnswersElseZero) {
    Pty unlinked;
    const struct {
        std::vector<std::pair<std::string, const Pty*>> devices;
        std::uint8_t port;
        std::string errors;
    } cases[] = {
        {{}, 0, kKeyMissing},
        {{{"1-1", nullptr}}, 0, kValueMissing},
        {{{"1-1", &unlinked}}, 0, kValueMissing},
        {{{"1-1", nullptr}, {"1-2", &ours}}, 3, ""},
        {{{"1-1", &unlinked}, {"1-2", &ours}}, 3, ""},
        {{{"1-10", &ours}, {"1-2", &other}}, 5, ""},
    };
    Link(3, ours);
    Link(5, other);
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        fs::remove_all(sys);
        for (const auto& [name, tty] : c.devices) {
            AddDevice(name, "2c7a\n", "0001\n", "DEMO_1.000\n", tty);
        }
        EXPECT_EQ(Discover(), std::make_pair(c.port, c.errors));
    }
}

TEST_F(SysfsRegistry, AnswersOnlyTheDeviceKeyAndItsPortNameValue) {
    AddDevice("1-1", "2c7a\n", "0001\n", "DEMO_1.000\n", &ours);
    Link(12, ours);
    registry::Key key{};
    std::string path = kKeyPath;
    EXPECT_EQ(registry::OpenKey(path.replace(path.find("DEMO_1"), 6, "DEMO_2"), key),
              registry::kFileNotFound);
    EXPECT_EQ(registry::OpenKey(kKeyPath.substr(1), key), registry::kFileNotFound);

    path = kKeyPath;
    std::transform(path.begin(), path.end(), path.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    ASSERT_EQ(registry::OpenKey(path, key), registry::kSuccess);
    std::uint8_t buffer[16] = {};
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(registry::QueryValue(key, "PORTNAMES", buffer, size), registry::kFileNotFound);
    size = 5;
    EXPECT_EQ(registry::QueryValue(key, "PORTNAME", buffer, size), registry::kMoreData);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(registry::QueryValue(key, "portName", buffer, size), registry::kSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), size), std::string("COM12", 6));
    registry::CloseKey(key);
}

} // namespace
