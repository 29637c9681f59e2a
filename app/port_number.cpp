#include "app/port_number.h"

#include <cstdint>

int parse_port_number(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    std::uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10U + static_cast<std::uint32_t>(*p - '0');
    if (negative) value = 0U - value;
    return static_cast<int>(static_cast<std::int32_t>(value));
}

PortArgument classify_port_argument(const char* text) {
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return PortArgument::NotANumber;
    std::uint64_t value = 0;
    bool too_big = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10U + static_cast<std::uint64_t>(*p - '0');
        if (value > 0x80000000ULL) too_big = true;  // stays put once past any int
        if (too_big) value = 0x80000001ULL;
    }
    if (*p != '\0') return PortArgument::NotANumber;
    if (too_big || value > (negative ? 0x80000000ULL : 0x7FFFFFFFULL)) return PortArgument::OutOfRange;
    return PortArgument::Plain;
}
