// The text-to-number conversions of option values and registry port names.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Raised by StrToInt; the one failure that ends a run instead of travelling
// as a negative result. what() is "'<text>' is not a valid integer value".
class EConvertError : public std::runtime_error {
  public:
    explicit EConvertError(const std::string& text);
};

// The whole text must be one 32-bit integer: optional blanks, then either an
// optional sign and decimal digits, or (unsigned) hexadecimal digits after
// "$", "x", "X", "0x" or "0X". Hexadecimal 80000000..FFFFFFFF stand for the
// negative numbers with the same bits. Throws EConvertError otherwise.
std::int32_t StrToInt(const std::string& text);

// Reads as the formatted-input conversion "%x" does: optional white space,
// optional sign, optional "0x"/"0X", hexadecimal digits; stops at the first
// other character. Returns `start` when nothing can be read.
std::uint32_t ScanHex(const std::string& text, std::uint32_t start = 0);
