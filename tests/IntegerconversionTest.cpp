// Conversions of option values: the strict integer notation and "%x" reading.
// The fuzz target checks both on every argument of its corpus against their
// own round trips and the C library's "%x".
#include <gtest/gtest.h>

#include <string>

#include "runtime/Integerconversion.h"

TEST(IntegerConversion, StrToIntTakesDecimalOrHexAndRefusesTheRest) {
    const std::pair<std::string, std::int32_t> accepted[] = {
        {"167", 167},
        {"$A7", 167},
        {"0Xa7", 167},
        {"x1f", 31},
        {"   $10", 16},
        {"+5", 5},
        {"-2147483648", -2147483647 - 1},
        {"$FFFFFFFF", -1},
        {"0x0000000000000000000000000000000A", 10}};
    for (const auto& [text, value] : accepted) {
        EXPECT_EQ(StrToInt(text), value) << "'" << text << "'";
    }
    for (const std::string text : {"", "   ", "12 ", "\t7", "A7", "2147483648", "-2147483649",
                                   "$100000000", "$", "0x", "-$5", "--1", "$ 5", "0xx5", "1e3"}) {
        try {
            ADD_FAILURE() << "'" << text << "' gave " << StrToInt(text);
        } catch (const EConvertError& error) {
            EXPECT_EQ(std::string(error.what()), "'" + text + "' is not a valid integer value");
        }
    }
}

// Nothing read leaves the starting value (7) alone.
TEST(IntegerConversion, ScanHexReadsAsPercentX) {
    const std::pair<std::string, std::uint32_t> cases[] = {
        {"0x00000002", 2},
        {"deadBEEF", 0xDEADBEEF},
        {"  \t\n1f", 0x1F},
        {"4B000000 seconds", 0x4B000000},
        {"-0x10", 0xFFFFFFF0},
        {"123456789", 0x23456789}, // beyond 8 digits the low bits stay
        {"0xz", 0},                // no digit after the prefix: the 0 is read
        {"zz", 7},
        {"- 5", 7},
        {"+", 7}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ScanHex(text, 7), expected) << "'" << text << "'";
    }
}
