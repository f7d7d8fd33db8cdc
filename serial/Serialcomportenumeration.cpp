#include "serial/Serialcomportenumeration.h"

#include <cstdio>
#include <new>

#include "runtime/Integerconversion.h"

namespace {

constexpr const char* kDeviceKeyPath =
    "SYSTEM\\CURRENTCONTROLSET\\ENUM\\USB\\VID_2C7A&PID_0001\\DEMO_1.000\\DEVICE PARAMETERS";
constexpr const char* kPortNameValue = "PORTNAME";
constexpr std::uint32_t kFirstBufferSize = 128;
// "COM" comes first and is skipped unseen.
constexpr std::uint32_t kPortPrefixLength = 3;

// Closes the key however the call ends, the conversion error included.
class OpenedKey {
  public:
    explicit OpenedKey(registry::Key opened) : key(opened) {}
    ~OpenedKey() { registry::CloseKey(key); }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;

  private:
    registry::Key key;
};

// The value's text after the prefix, up to its terminating zero or its end,
// so that a value stored without a zero is never read past.
std::string PortNumberText(const std::uint8_t* value, std::uint32_t size) {
    std::string text;
    for (std::uint32_t i = kPortPrefixLength; i < size && value[i] != 0; ++i) {
        text.push_back(static_cast<char>(value[i]));
    }
    return text;
}

void ReportFailure(std::int32_t status) {
    char text[TSerialCOMPortEnumeration::kErrorTextSize] = {};
    TSerialCOMPortEnumeration::FormatErrorText(text, status);
    std::fprintf(stderr, "\r\n[RegOpenKeyEx|QueryStringValue] %s", text);
}

} // namespace

std::uint8_t TSerialCOMPortEnumeration::GetDevicePortNumber() {
    registry::Key key{};
    std::int32_t status = registry::OpenKey(kDeviceKeyPath, key);
    if (status != registry::kSuccess) {
        std::fputs("\r\n[RegOpenKeyEx]", stderr);
        ReportFailure(status);
        return 0;
    }
    std::uint8_t result = 0;
    {
        const OpenedKey opened(key);
        std::unique_ptr<std::uint8_t[]> value;
        std::uint32_t size = 0;
        status = QueryStringValue(key, kPortNameValue, value, size);
        if (status == registry::kSuccess) {
            result = static_cast<std::uint8_t>(StrToInt(PortNumberText(value.get(), size)));
        }
    }
    if (status != registry::kSuccess) {
        ReportFailure(status);
    }
    return result;
}

std::int32_t TSerialCOMPortEnumeration::QueryStringValue(registry::Key key,
                                                         const std::string& valueName,
                                                         std::unique_ptr<std::uint8_t[]>& buffer,
                                                         std::uint32_t& size) {
    std::uint32_t capacity = kFirstBufferSize;
    for (;;) {
        buffer.reset(new (std::nothrow) std::uint8_t[capacity]);
        if (!buffer) {
            return registry::kNotEnoughMemory;
        }
        size = capacity;
        const std::int32_t status = registry::QueryValue(key, valueName, buffer.get(), size);
        if (status != registry::kMoreData) {
            return status;
        }
        capacity = size; // the size the value needs
    }
}

void TSerialCOMPortEnumeration::FormatErrorText(char* text, std::int32_t code) {
    std::string message = registry::SystemMessage(code);
    if (message.empty()) {
        message = "Unknown error " + std::to_string(code) + ".\r\n";
    }
    std::snprintf(text, kErrorTextSize, "Erreur(%d): %s", code, message.c_str());
}
