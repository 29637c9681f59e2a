#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/port_number.h"
#include "image/hex_digits.h"

TEST(HexDigits, ExactlyTheHexCharactersAreDigitsWithTheirValues) {
    const std::string digits = "0123456789abcdefABCDEF";
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const auto at = digits.find(ch);
        const bool expected = c != 0 && at != std::string::npos;
        EXPECT_EQ(is_hex_digit(ch), expected) << "byte " << c;
        if (expected) {
            EXPECT_EQ(hex_digit_value(ch), static_cast<int>(at < 16 ? at : at - 6)) << ch;
        }
    }
}

struct DecodeCase {
    const char* text;
    std::size_t capacity;
    std::size_t count;
    std::vector<int> bytes;  // expected out[0..]; -1 means "left untouched"
};

TEST(HexToBytes, DecodesPairsSkipsOtherCharactersAndRespectsCapacity) {
    const DecodeCase cases[] = {
        {":10400000", 8, 4, {0x10, 0x40, 0x00, 0x00, -1}},
        {"\n:0a0B\r", 8, 2, {0x0A, 0x0B, -1}},
        {"a b\tc-d", 8, 2, {0xAB, 0xCD, -1}},            // digits pair across anything
        {"123", 8, 1, {0x12, 0x30, -1}},                 // an odd digit sets the high half only
        {"", 8, 0, {-1}},
        {"zz::\r\n", 8, 0, {-1}},
        {"\xC1\xB0" "12", 8, 1, {0x12, -1}},             // bytes above 0x7F are not digits
        {"112233", 2, 2, {0x11, 0x22, -1}},              // full: later digits ignored
        {"11223", 2, 2, {0x11, 0x22, -1}},               // and no half byte beyond capacity
        {"1", 0, 0, {-1}},
    };
    for (const DecodeCase& c : cases) {
        std::uint8_t out[10];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(hex_to_bytes(c.text, out, c.capacity), c.count) << c.text;
        for (std::size_t i = 0; i < c.bytes.size(); ++i) {
            const int want = c.bytes[i] < 0 ? 0xEE : c.bytes[i];
            EXPECT_EQ(out[i], want) << c.text << " byte " << i;
        }
    }
}

TEST(HexToBytes, OddDigitOverwritesOnlyTheNextByte) {
    std::uint8_t out[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(hex_to_bytes("AAB", out, sizeof out), 1U);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[1], 0xB0);
    EXPECT_EQ(out[2], 0x33);
}

TEST(PortNumber, ConvertsLikeAtoiWithThirtyTwoBitWrap) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"3", 3},           {"  12", 12},         {"\t\n+7x", 7},     {"-2", -2},
        {"abc", 0},         {"", 0},              {"+", 0},           {"- 5", 0},
        {"007", 7},         {"12abc", 12},        {"4294967303", 7},  {"2147483648", -2147483647 - 1},
        {"-2147483648", -2147483647 - 1},         {"99999999999999999999", static_cast<int>(1661992959)},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_port_number(c.text), c.value) << '"' << c.text << '"';
}
