#include "runtime/Integerconversion.h"

#include <cctype>
#include <optional>

EConvertError::EConvertError(const std::string& text)
    : std::runtime_error("'" + text + "' is not a valid integer value") {}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Length of a hexadecimal prefix at `pos`: "$", "x", "X", "0x", "0X"; or 0.
std::size_t HexPrefixLength(const std::string& text, std::size_t pos) {
    const char c = pos < text.size() ? text[pos] : '\0';
    if (c == '$' || c == 'x' || c == 'X') {
        return 1;
    }
    const char next = pos + 1 < text.size() ? text[pos + 1] : '\0';
    return c == '0' && (next == 'x' || next == 'X') ? 2 : 0;
}

std::optional<std::uint32_t> ParseHexDigits(const std::string& text, std::size_t pos) {
    if (pos >= text.size()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = HexDigit(text[pos]);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::int32_t> ParseDecimal(const std::string& text, std::size_t pos) {
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos >= text.size()) {
        return std::nullopt;
    }
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[pos] - '0');
        if (value > limit) {
            return std::nullopt;
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace

std::int32_t StrToInt(const std::string& text) {
    std::size_t pos = text.find_first_not_of(' ');
    if (pos == std::string::npos) {
        throw EConvertError(text);
    }
    if (const std::size_t prefix = HexPrefixLength(text, pos); prefix != 0) {
        if (auto bits = ParseHexDigits(text, pos + prefix)) {
            return static_cast<std::int32_t>(*bits);
        }
    } else if (auto value = ParseDecimal(text, pos)) {
        return *value;
    }
    throw EConvertError(text);
}

std::uint32_t ScanHex(const std::string& text, std::uint32_t start) {
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // "0x" counts as a prefix only when a digit follows; "0xz" reads the 0.
    if (HexPrefixLength(text, pos) == 2 && pos + 2 < text.size() && HexDigit(text[pos + 2]) >= 0) {
        pos += 2;
    }
    if (pos >= text.size() || HexDigit(text[pos]) < 0) {
        return start;
    }
    std::uint32_t value = 0; // wraps modulo 2^32, keeping the low bits
    for (; pos < text.size() && HexDigit(text[pos]) >= 0; ++pos) {
        value = value * 16u + static_cast<std::uint32_t>(HexDigit(text[pos]));
    }
    return negative ? 0u - value : value;
}
