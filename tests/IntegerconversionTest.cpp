// Conversions of option values: the strict integer notation and "%x" reading.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "runtime/Integerconversion.h"

namespace {

TEST(IntegerConversion, StrToIntAcceptedNotations) {
    struct Case {
        std::string text;
        std::int32_t expected;
    };
    const std::vector<Case> cases = {{"167", 167},
                                     {"$A7", 167},
                                     {"0xA7", 167},
                                     {"0Xa7", 167},
                                     {"x1f", 31},
                                     {"X1F", 31},
                                     {"  12", 12},
                                     {"   $10", 16},
                                     {"+5", 5},
                                     {"-1", -1},
                                     {"0", 0},
                                     {"007", 7},
                                     {"-2147483648", std::numeric_limits<std::int32_t>::min()},
                                     {"2147483647", std::numeric_limits<std::int32_t>::max()},
                                     {"$80000000", std::numeric_limits<std::int32_t>::min()},
                                     {"$FFFFFFFF", -1},
                                     {"$000000001", 1},
                                     {"0x0000000000000000000000000000000A", 10},
                                     {"00000000000000000000000000000000042", 42}};
    for (const auto& c : cases) {
        EXPECT_NO_THROW(EXPECT_EQ(StrToInt(c.text), c.expected) << "'" << c.text << "'")
            << "'" << c.text << "'";
    }
}

TEST(IntegerConversion, StrToIntRefusalNamesTheWholeText) {
    const std::vector<std::string> refused = {
        "",           " ",           "   ", "12 ",        "1 2",         "abc",
        "167x",       "FFFFFFFF",    "A7",  "2147483648", "-2147483649", "99999999999999999999",
        "$100000000", "0x1FFFFFFFF", "$",   "0x",         "x",           "-$5",
        "+$5",        "+",           "-",   "--1",        "+-1",         "$ 5",
        "0x-5",       "$G",          "1.0", "1e3",        "$A7 ",        "0xx5",
        "\t7",
    };
    for (const std::string& text : refused) {
        try {
            const std::int32_t value = StrToInt(text);
            ADD_FAILURE() << "'" << text << "' gave " << value;
        } catch (const EConvertError& error) {
            EXPECT_EQ(std::string(error.what()), "'" + text + "' is not a valid integer value");
        }
    }
}

TEST(IntegerConversion, ScanHexReadsAsPercentX) {
    struct Case {
        std::string text;
        std::uint32_t expected;
    };
    const std::vector<Case> cases = {{"0x00000002", 2},
                                     {"2", 2},
                                     {"00000002", 2},
                                     {"deadBEEF", 0xDEADBEEF},
                                     {"0XfF", 0xFF},
                                     {"  \t\n1f", 0x1F},
                                     {"4B000000 seconds", 0x4B000000},
                                     {"+10", 0x10},
                                     {"-1", 0xFFFFFFFF},
                                     {"-0x10", 0xFFFFFFF0},
                                     {"123456789", 0x23456789}, // beyond 8 digits the low bits stay
                                     {"0x", 0}, // no digit after the prefix: the 0 is read
                                     {"0x0x5", 0},
                                     {"zz", 0},
                                     {"", 0},
                                     {"x5", 0},
                                     {"$5", 0},
                                     {"- 5", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(ScanHex(c.text), c.expected) << "'" << c.text << "'";
    }
    // Nothing read leaves the starting value alone; a read replaces it.
    EXPECT_EQ(ScanHex("zz", 7), 7u);
    EXPECT_EQ(ScanHex("-", 7), 7u);
    EXPECT_EQ(ScanHex("+", 7), 7u);
    EXPECT_EQ(ScanHex("0xz", 7), 0u);
    EXPECT_EQ(ScanHex("5", 7), 5u);
}

} // namespace
