// Decoding of hexadecimal text as it appears in Intel HEX lines.
#pragma once

#include <cstddef>
#include <cstdint>

// True for '0'-'9', 'A'-'F' and 'a'-'f'. Bytes 0x80-0xFF are never digits.
bool is_hex_digit(char c);

// Value of a hex digit; only meaningful for characters where is_hex_digit() holds.
int hex_digit_value(char c);

// Index of the first byte of `bytes` that Intel HEX text cannot hold, or
// `size` if there is none. Intel HEX text holds hex digits, ':', CR, LF, space,
// tab and 0x1A (the end mark that old DOS tools append); anything else (NUL,
// other control characters, other letters, punctuation, bytes 0x80-0xFF) says
// the file is something else.
std::size_t find_non_hex_text(const std::uint8_t* bytes, std::size_t size);

// What decoding a text gave.
struct HexBytes {
    std::size_t count;  // complete bytes
    const char* stop;   // where decoding stopped: the NUL for a text decoded to its end,
                        // a byte that hex text cannot hold, or the byte after the last
                        // digit taken when the output was full
    unsigned sum;       // the sum of the complete bytes (for checksums)
};

// Decodes the hex digits of a NUL-terminated text into `out`, pairing digits in
// order and skipping the other characters of hex text (':', spaces, tabs, line
// ends, 0x1A). A final unpaired digit still sets the next byte to its value
// shifted left by 4, but is not counted. Nothing is written at or beyond
// out[capacity]; decoding stops there. Decoding also stops at the NUL and at
// the first byte that hex text cannot hold (see find_non_hex_text).
HexBytes decode_hex_text(const char* text, std::uint8_t* out, std::size_t capacity);

// decode_hex_text() for the number of complete bytes alone.
std::size_t hex_to_bytes(const char* text, std::uint8_t* out, std::size_t capacity);
