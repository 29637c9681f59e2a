#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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
    std::size_t stop;        // where decoding stops, as an index into text
};

TEST(HexToBytes, DecodesPairsSkipsSeparatorsAndStopsAtForeignBytes) {
    const DecodeCase cases[] = {
        {":10400000", 8, 4, {0x10, 0x40, 0x00, 0x00, -1}, 9},
        {"\n:0a0B\r", 8, 2, {0x0A, 0x0B, -1}, 7},
        {"a b\tc\x1A" "d", 8, 2, {0xAB, 0xCD, -1}, 7},  // digits pair across separators
        {"123", 8, 1, {0x12, 0x30, -1}, 3},              // an odd digit sets the high half only
        {"", 8, 0, {-1}, 0},
        {"::\r\n", 8, 0, {-1}, 4},
        {"12-34", 8, 1, {0x12, -1}, 2},                  // a byte no hex text holds ends decoding
        {"1z", 8, 0, {0x10, -1}, 1},                     // ... even inside a pair
        {"\xC1\xB0" "12", 8, 0, {-1}, 0},              // bytes above 0x7F are not hex text
        {"112233", 2, 2, {0x11, 0x22, -1}, 4},           // full: later digits ignored
        {"11223", 2, 2, {0x11, 0x22, -1}, 4},            // and no half byte beyond capacity
        {"1", 0, 0, {-1}, 0},
    };
    for (const DecodeCase& c : cases) {
        std::uint8_t out[10];
        std::memset(out, 0xEE, sizeof out);
        const HexBytes got = decode_hex_text(c.text, out, c.capacity);
        EXPECT_EQ(got.count, c.count) << c.text;
        EXPECT_EQ(got.stop - c.text, static_cast<std::ptrdiff_t>(c.stop)) << c.text;
        unsigned sum = 0;
        for (std::size_t i = 0; i < c.count; ++i) sum += static_cast<unsigned>(c.bytes[i]);
        EXPECT_EQ(got.sum, sum) << c.text;
        for (std::size_t i = 0; i < c.bytes.size(); ++i) {
            const int want = c.bytes[i] < 0 ? 0xEE : c.bytes[i];
            EXPECT_EQ(out[i], want) << c.text << " byte " << i;
        }
    }
}

TEST(HexText, OnlyTheBytesOfIntelHexTextBelong) {
    const std::string allowed = "0123456789abcdefABCDEF:\r\n \t\x1A";
    for (int c = 0; c < 256; ++c) {
        const bool expected = c != 0 && allowed.find(static_cast<char>(c)) != std::string::npos;
        const auto byte = static_cast<std::uint8_t>(c);
        EXPECT_EQ(find_non_hex_text(&byte, 1) == 1, expected) << "byte " << c;
    }
}

TEST(HexToBytes, OddDigitOverwritesOnlyTheNextByte) {
    std::uint8_t out[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(hex_to_bytes("AAB", out, sizeof out), 1U);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[1], 0xB0);
    EXPECT_EQ(out[2], 0x33);
}
