#pragma once

// Converts the port argument like the C library's atoi, but with defined
// behaviour: optional leading white space, an optional sign, decimal digits up
// to the first non-digit; no digits gives 0; the value wraps around in 32 bits
// ("4294967303" is 7).
int parse_port_number(const char* text);

enum class PortArgument {
    Plain,       // an optional sign and decimal digits, within the range of an int
    OutOfRange,  // such digits, but too many: the value wrapped around
    NotANumber,  // anything else ("COM3", "abc", " 3", "3x", "")
};

PortArgument classify_port_argument(const char* text);
