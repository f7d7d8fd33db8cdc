// The Windows platform layer against the running system: registry values
// written below a key of this test's own, and COM ports that do not exist.
// The device's own key and real ports are the Wine end-to-end tests' part.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/Registry.h"
#include "serial/Rs232class.h"
#include "serial/Serialcomportenumeration.h"

namespace {

const std::string kTestKey = "SOFTWARE\\Download_ZUL_Console_Test";
const std::string kShort = "COM7";
const std::string kLong = "COM" + std::string(300, '0') + "9"; // beyond the first 128 bytes
const std::vector<std::uint8_t> kBinary = {0x00, 0xFF, 0x43, 0x4F, 0x4D};

using Bytes = std::vector<std::uint8_t>;

Bytes WithZero(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// The key and its values exist for the length of one test.
class Win32Registry : public testing::Test {
  protected:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        Set(key, "short", REG_SZ, WithZero(kShort));
        Set(key, "long", REG_SZ, WithZero(kLong));
        Set(key, "binary", REG_BINARY, kBinary);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKey.c_str()); }

    static void Set(HKEY key, const char* name, DWORD type, const Bytes& bytes) {
        ASSERT_EQ(
            RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
    }
};

TEST_F(Win32Registry, ReadsValuesOfAnyTypeAndReportsTheSizeATooSmallBufferNeeds) {
    registry::Key key{};
    ASSERT_EQ(registry::OpenKey(kTestKey, key), registry::kSuccess);
    const struct {
        const char* name;
        Bytes stored;
    } cases[] = {{"short", WithZero(kShort)}, {"long", WithZero(kLong)}, {"binary", kBinary}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer(c.stored.size() - 1, '#');
        auto size = static_cast<std::uint32_t>(buffer.size());
        EXPECT_EQ(registry::QueryValue(key, c.name, buffer.data(), size), registry::kMoreData);
        EXPECT_GE(size, c.stored.size());

        buffer.assign(size, '#');
        EXPECT_EQ(registry::QueryValue(key, c.name, buffer.data(), size), registry::kSuccess);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + size), c.stored);
    }
    std::uint8_t byte = 0;
    std::uint32_t size = 1;
    EXPECT_EQ(registry::QueryValue(key, "PORTNAME", &byte, size), registry::kFileNotFound);
    registry::CloseKey(key);
}

TEST_F(Win32Registry, DiscoveryReadsALongValueWholeInASecondQuery) {
    registry::Key key{};
    ASSERT_EQ(registry::OpenKey(kTestKey, key), registry::kSuccess);
    std::unique_ptr<std::uint8_t[]> value;
    std::uint32_t size = 0;
    EXPECT_EQ(TSerialCOMPortEnumeration::QueryStringValue(key, "long", value, size),
              registry::kSuccess);
    ASSERT_EQ(size, kLong.size() + 1);
    EXPECT_EQ(Bytes(value.get(), value.get() + size), WithZero(kLong));
    registry::CloseKey(key);
}

TEST(Win32System, MissingKeysAndPortsAreRefusedWithTheSystemsCodes) {
    registry::Key key{};
    EXPECT_EQ(registry::OpenKey(kTestKey + "\\absent", key), registry::kFileNotFound);

    const std::string message = registry::SystemMessage(registry::kFileNotFound);
    EXPECT_GT(message.size(), 2u);
    EXPECT_TRUE(message.ends_with("\r\n")) << message;
    EXPECT_EQ(registry::SystemMessage(0x2000FFFF), ""); // an application code: no system text

    for (const int port : {0, 254}) {
        SCOPED_TRACE(port);
        TRS232Class rs232;
        EXPECT_EQ(rs232.OpenPort(port), 0);
        EXPECT_EQ(rs232.PortHandle(), serialport::kInvalidHandle);
        EXPECT_EQ(rs232.FlushPort(), 0);
    }
}

} // namespace
