// Port discovery over a scripted registry: this executable links the
// registry:: functions below instead of an operating system's. Only the
// device's key and its PORTNAME value are there to be found.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/Integerconversion.h"
#include "serial/Serialcomportenumeration.h"

namespace {

const std::string kZero(1, '\0');

struct FakeRegistry {
    bool keyPresent = true;
    std::int32_t valueStatus = registry::kSuccess;
    std::string value; // the bytes stored: a terminating zero only where given
    int closes = 0;
} fake;

} // namespace

namespace registry {

std::int32_t OpenKey(const std::string& path, Key& key) {
    key = 0x5EED;
    return fake.keyPresent && path == "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_2C7A&PID_0001\\"
                                      "DEMO_1.000\\DEVICE PARAMETERS"
               ? kSuccess
               : kFileNotFound;
}

std::int32_t QueryValue(Key, const std::string& name, std::uint8_t* buffer, std::uint32_t& size) {
    const auto needed = static_cast<std::uint32_t>(fake.value.size());
    const std::int32_t status = name != "PORTNAME" ? kFileNotFound
                                : size < needed    ? kMoreData
                                                   : fake.valueStatus;
    if (status == kSuccess) {
        // Digits behind the stored bytes: reading past the value changes the number.
        std::memset(buffer, '7', size);
        std::memcpy(buffer, fake.value.data(), needed);
    }
    size = needed;
    return status;
}

void CloseKey(Key) {
    ++fake.closes;
}

std::string SystemMessage(std::int32_t code) {
    return code == kFileNotFound ? "Nothing by that name.\r\n" : "";
}

} // namespace registry

namespace {

// -1: the value is no number, which throws.
TEST(PortDiscovery, ReadsTheNumberAfterTheThreeLetterPrefixAndAlwaysClosesTheKey) {
    const struct {
        std::string value;
        int port;
    } cases[] = {
        {"COM12" + kZero, 12},
        {"COM300" + kZero, 44},                             // low 8 bits
        {"COM9", 9},                                        // stored without its zero
        {"COM" + std::string(150, '0') + "17" + kZero, 17}, // longer than a first buffer
        {"COM" + kZero, -1},
        {"COM5a" + kZero, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 12));
        fake = FakeRegistry{};
        fake.value = c.value;
        if (c.port < 0) {
            EXPECT_THROW(TSerialCOMPortEnumeration().GetDevicePortNumber(), EConvertError);
        } else {
            EXPECT_EQ(TSerialCOMPortEnumeration().GetDevicePortNumber(), c.port);
        }
        EXPECT_EQ(fake.closes, 1);
    }
}

TEST(PortDiscovery, ReportsAnUnreadableKeyOrValueOnStderrAndGivesZero) {
    const std::string line = "\r\n[RegOpenKeyEx|QueryStringValue] ";
    const struct {
        bool keyPresent;
        std::int32_t valueStatus;
        std::string errors;
        int closes;
    } cases[] = {
        {false, 0, "\r\n[RegOpenKeyEx]" + line + "Erreur(2): Nothing by that name.\r\n", 0},
        {true, 5, line + "Erreur(5): Unknown error 5.\r\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.errors);
        fake = FakeRegistry{c.keyPresent, c.valueStatus, "COM4" + kZero};
        testing::internal::CaptureStderr();
        EXPECT_EQ(TSerialCOMPortEnumeration().GetDevicePortNumber(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.errors);
        EXPECT_EQ(fake.closes, c.closes);
    }
}

} // namespace
