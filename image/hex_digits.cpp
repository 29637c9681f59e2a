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

constexpr bool is_separator_code(int c) {
    return c == ':' || c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == 0x1A;
}

// What one byte of text is to the decoder: a digit's value (0-15), a
// separator to pass over, or the end of what can be decoded (the NUL, and
// every byte that no hex text holds).
constexpr std::int16_t SEPARATOR = -1;
constexpr std::int16_t STOP = -2;

// One lookup per character keeps decoding fast on multi-megabyte files, and
// the check for foreign bytes costs nothing on the digits themselves.
constexpr std::array<std::int16_t, 256> make_nibble_table() {
    std::array<std::int16_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] = is_digit_code(c)      ? static_cast<std::int16_t>(digit_value_of(c))
                                             : is_separator_code(c) ? SEPARATOR
                                                                    : STOP;
    }
    return table;
}

constexpr std::array<std::int16_t, 256> NIBBLE = make_nibble_table();

HexBytes stopped(std::size_t count, const unsigned char* at, unsigned sum) {
    return {count, reinterpret_cast<const char*>(at), sum};
}

}  // namespace

bool is_hex_digit(char c) {
    return NIBBLE[static_cast<unsigned char>(c)] >= 0;
}

int hex_digit_value(char c) {
    return digit_value_of(static_cast<unsigned char>(c));
}

std::size_t find_non_hex_text(const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (NIBBLE[bytes[i]] == STOP) return i;
    }
    return size;
}

HexBytes decode_hex_text(const char* text, std::uint8_t* out, std::size_t capacity) {
    // A byte at a time: its high digit, then its low digit, each the next digit
    // in the text. In a record line the two are adjacent, so each inner loop
    // normally ends at its first look.
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t count = 0;
    unsigned sum = 0;
    while (count < capacity) {
        int high = NIBBLE[*p];
        while (high < 0) {
            if (high == STOP) return stopped(count, p, sum);
            high = NIBBLE[*++p];
        }
        ++p;  // a digit is never the terminator, so p still points into the text
        int low = NIBBLE[*p];
        while (low < 0) {
            if (low == STOP) {
                out[count] = static_cast<std::uint8_t>(high << 4);  // an unpaired last digit
                return stopped(count, p, sum);
            }
            low = NIBBLE[*++p];
        }
        ++p;
        const auto byte = static_cast<unsigned>((high << 4) | low);
        out[count++] = static_cast<std::uint8_t>(byte);
        sum += byte;
    }
    return stopped(count, p, sum);
}

std::size_t hex_to_bytes(const char* text, std::uint8_t* out, std::size_t capacity) {
    return decode_hex_text(text, out, capacity).count;
}
