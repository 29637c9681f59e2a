#include "image/hex_digits.h"

#include <array>

namespace {

constexpr bool is_digit_code(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

constexpr int digit_value_of(int c) {
    if (c >= 'a' && c <= 'f') return c - 87;
    if (c >= 'A' && c <= 'F') return c - 55;
    return c - 48;
}

// Nibble value per byte, -1 for anything that is not a hex digit: one lookup
// per character keeps decoding fast on multi-megabyte files.
constexpr std::array<std::int16_t, 256> make_nibble_table() {
    std::array<std::int16_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] =
            is_digit_code(c) ? static_cast<std::int16_t>(digit_value_of(c)) : std::int16_t{-1};
    }
    return table;
}

constexpr std::array<std::int16_t, 256> NIBBLE = make_nibble_table();

int nibble(char c) {
    return NIBBLE[static_cast<unsigned char>(c)];
}

}  // namespace

bool is_hex_digit(char c) {
    return nibble(c) >= 0;
}

int hex_digit_value(char c) {
    return digit_value_of(static_cast<unsigned char>(c));
}

std::size_t hex_to_bytes(const char* text, std::uint8_t* out, std::size_t capacity) {
    // A byte at a time: its high digit, then its low digit, each the next digit
    // in the text. In a record line the two are adjacent, so each inner loop
    // normally ends at its first look.
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t count = 0;
    while (count < capacity) {
        int high = NIBBLE[*p];
        while (high < 0) {
            if (*p == '\0') return count;
            high = NIBBLE[*++p];
        }
        ++p;  // a digit is never the terminator, so p still points into the text
        int low = NIBBLE[*p];
        while (low < 0) {
            if (*p == '\0') {
                out[count] = static_cast<std::uint8_t>(high << 4);  // an unpaired last digit
                return count;
            }
            low = NIBBLE[*++p];
        }
        ++p;
        out[count++] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return count;
}
