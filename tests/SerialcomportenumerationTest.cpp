// Port discovery over a scripted registry: this executable links the
// registry:: functions below instead of an operating system's. Only the
// device's key and its PORTNAME value are there to be found.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/Integerconversion.h"
#include "serial/Serialcomportenumeration.h"

namespace {

constexpr registry::Key kDeviceKey = 0x5EED;
const std::string kKeyPath =
    "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_2C7A&PID_0001\\DEMO_1.000\\DEVICE PARAMETERS";
const std::string kNotFoundText = "Nothing by that name.\r\n";
const std::string kZero(1, '\0');

struct FakeRegistry {
    bool keyPresent = true;
    std::int32_t valueStatus = registry::kSuccess;
    std::string value; // the bytes stored: a terminating zero only where given
    std::int32_t messageCode = registry::kFileNotFound; // the one code with a message
    std::string message = kNotFoundText;
    std::vector<std::uint32_t> offeredSizes;
    int closes = 0;
} fake;

std::pair<std::uint8_t, std::string> Discover() {
    testing::internal::CaptureStderr();
    const std::uint8_t port = TSerialCOMPortEnumeration().GetDevicePortNumber();
    return {port, testing::internal::GetCapturedStderr()};
}

} // namespace

namespace registry {

std::int32_t OpenKey(const std::string& path, Key& key) {
    key = kDeviceKey;
    return fake.keyPresent && path == kKeyPath ? kSuccess : kFileNotFound;
}

std::int32_t QueryValue(Key key, const std::string& name, std::uint8_t* buffer,
                        std::uint32_t& size) {
    EXPECT_EQ(key, kDeviceKey);
    fake.offeredSizes.push_back(size);
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

void CloseKey(Key key) {
    EXPECT_EQ(key, kDeviceKey);
    ++fake.closes;
}

std::string SystemMessage(std::int32_t code) {
    return code == fake.messageCode ? fake.message : std::string();
}

} // namespace registry

namespace {

TEST(PortDiscovery, ReadsTheNumberAfterThePrefixInOneOrTwoQueries) {
    const std::string longValue = "COM" + std::string(150, '0') + "17" + kZero;
    const struct {
        std::string value;
        std::uint8_t port;
        std::vector<std::uint32_t> offered;
    } cases[] = {
        {"COM5" + kZero, 5, {128}},
        {"COM12" + kZero, 12, {128}},
        {"COM300" + kZero, 44, {128}}, // low 8 bits
        {"COM9", 9, {128}},            // stored without its zero
        {"XYZ6" + kZero, 6, {128}},    // the prefix is not looked at
        {longValue, 17, {128, static_cast<std::uint32_t>(longValue.size())}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 12));
        fake = FakeRegistry{};
        fake.value = c.value;
        EXPECT_EQ(Discover(), std::make_pair(c.port, std::string()));
        EXPECT_EQ(fake.offeredSizes, c.offered);
        EXPECT_EQ(fake.closes, 1);
    }
}

TEST(PortDiscovery, ThrowsOnANonIntegerAndStillClosesTheKey) {
    for (const std::string& value :
         {"COM" + kZero, "CO" + kZero, std::string(), "COMx" + kZero, "COM5a" + kZero}) {
        SCOPED_TRACE(value);
        fake = FakeRegistry{};
        fake.value = value;
        EXPECT_THROW(TSerialCOMPortEnumeration().GetDevicePortNumber(), EConvertError);
        EXPECT_EQ(fake.closes, 1);
    }
}

TEST(PortDiscovery, ReportsAnUnreadableKeyOrValueOnStderrAndGivesZero) {
    const std::string line = "\r\n[RegOpenKeyEx|QueryStringValue] ";
    const struct {
        bool keyPresent;
        std::int32_t valueStatus;
        std::string errors;
        int queries, closes;
    } cases[] = {
        {false, registry::kSuccess, "\r\n[RegOpenKeyEx]" + line + "Erreur(2): " + kNotFoundText, 0,
         0},
        {true, registry::kFileNotFound, line + "Erreur(2): " + kNotFoundText, 1, 1},
        {true, 5, line + "Erreur(5): Unknown error 5.\r\n", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.errors);
        fake = FakeRegistry{};
        fake.keyPresent = c.keyPresent;
        fake.valueStatus = c.valueStatus;
        EXPECT_EQ(Discover(), std::make_pair(std::uint8_t{0}, c.errors));
        EXPECT_EQ(fake.offeredSizes.size(), static_cast<std::size_t>(c.queries));
        EXPECT_EQ(fake.closes, c.closes);
    }
}

TEST(PortDiscovery, ErrorTextNamesUnknownCodesAndIsCutToItsBuffer) {
    constexpr std::size_t kSize = TSerialCOMPortEnumeration::kErrorTextSize;
    fake = FakeRegistry{};
    std::vector<char> text(kSize + 16, '#');
    TSerialCOMPortEnumeration::FormatErrorText(text.data(), -7);
    EXPECT_STREQ(text.data(), "Erreur(-7): Unknown error -7.\r\n");

    fake.messageCode = 1460;
    fake.message = std::string(600, 'm') + "\r\n";
    std::fill(text.begin(), text.end(), '#');
    TSerialCOMPortEnumeration::FormatErrorText(text.data(), 1460);
    EXPECT_EQ(std::string(text.data()), "Erreur(1460): " + std::string(kSize - 15, 'm'));
    EXPECT_EQ(std::string(text.begin() + kSize, text.end()), std::string(16, '#'));
}

} // namespace
