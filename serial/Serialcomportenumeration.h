// Finds the COM port number the system gave the device, from the "PORTNAME"
// value under the device's registry key. Prints its own error lines on the
// standard error stream; never opens the port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/Registry.h"

class TSerialCOMPortEnumeration {
  public:
    // Size of the text FormatErrorText fills, its terminating zero included.
    static constexpr std::size_t kErrorTextSize = 500;

    // The port number, low 8 bits of the value's number; 0 when the key or
    // the value cannot be read. Throws EConvertError when the value's text
    // after its first three characters is not an integer.
    std::uint8_t GetDevicePortNumber();

    // Reads one value of any length into a buffer that then belongs to the
    // caller; `size` receives the count of bytes stored. A registry status.
    static std::int32_t QueryStringValue(registry::Key key, const std::string& valueName,
                                         std::unique_ptr<std::uint8_t[]>& buffer,
                                         std::uint32_t& size);

    // "Erreur(<code>): <system message>", cut to fit kErrorTextSize.
    static void FormatErrorText(char* text, std::int32_t code);
};
