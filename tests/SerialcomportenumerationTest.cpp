// Port discovery over a scripted registry: this executable links the
// registry:: functions below instead of an operating system's. Only the
// device's key is there to be found; the value's name meets the sysfs
// registry in the device detection tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/Integerconversion.h"
#include "serial/Serialcomportenumeration.h"

namespace {

const std::string kZero(1, '\0');

struct FakeRegistry {
    std::string value; // the bytes stored: a terminating zero only where given
    bool keyPresent = true;
    std::int32_t valueStatus = registry::kSuccess;
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

std::int32_t QueryValue(Key, const std::string&, std::uint8_t* buffer, std::uint32_t& size) {
    const auto needed = static_cast<std::uint32_t>(fake.value.size());
    const std::int32_t status = size < needed ? kMoreData : fake.valueStatus;
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

// The port, -1 when the value is no number and the conversion throws, and what stderr got.
TEST(PortDiscovery, ReadsTheNumberAfterTheThreeLetterPrefixElseReportsWhatFailed) {
    const std::string line = "\r\n[RegOpenKeyEx|QueryStringValue] ";
    const struct {
        FakeRegistry registry;
        int port;
        std::string errors;
    } cases[] = {
        {{"COM9"}, 9, ""},                                        // stored without its zero
        {{"COM" + std::string(150, '0') + "17" + kZero}, 17, ""}, // past a first buffer
        {{"COM5a" + kZero}, -1, ""},
        {{"COM4", false}, 0, "\r\n[RegOpenKeyEx]" + line + "Erreur(2): Nothing by that name.\r\n"},
        {{"COM4", true, 5}, 0, line + "Erreur(5): Unknown error 5.\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.registry.value.substr(0, 12) + c.errors);
        fake = c.registry;
        int port = -1;
        testing::internal::CaptureStderr();
        try {
            port = TSerialCOMPortEnumeration().GetDevicePortNumber();
        } catch (const EConvertError&) {
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.errors);
        EXPECT_EQ(port, c.port);
        // The key closes however the call ends.
        EXPECT_EQ(fake.closes, c.registry.keyPresent ? 1 : 0);
    }
}
