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
    // Once past the range of an int, the value only has to stay past it.
    std::uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= 0x80000000ULL) value = value * 10U + static_cast<std::uint64_t>(*p - '0');
    }
    if (*p != '\0') return PortArgument::NotANumber;
    return value > (negative ? 0x80000000ULL : 0x7FFFFFFFULL) ? PortArgument::OutOfRange : PortArgument::Plain;
}
