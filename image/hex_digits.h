// Decoding of hexadecimal text as it appears in Intel HEX lines.
#pragma once

#include <cstddef>
#include <cstdint>

// True for '0'-'9', 'A'-'F' and 'a'-'f'. Bytes 0x80-0xFF are never digits.
bool is_hex_digit(char c);

// Value of a hex digit; only meaningful for characters where is_hex_digit() holds.
int hex_digit_value(char c);

// Decodes the hex digits of a NUL-terminated text into `out`, pairing digits in
// order and skipping every other character (':', spaces, line ends, ...).
// Returns the number of complete bytes. A final unpaired digit still sets the
// next byte to its value shifted left by 4, but is not counted. Nothing is
// written at or beyond out[capacity]; digits that would go there are ignored.
std::size_t hex_to_bytes(const char* text, std::uint8_t* out, std::size_t capacity);
