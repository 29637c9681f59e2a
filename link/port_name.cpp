#include "link/port_name.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "COM" in any case, then one or more decimal digits and nothing else, within
// the range of an int; the digits, or nullptr.
const char* com_digits(const char* text) {
    if (starts_with(text, "\\\\.\\")) text += 4;
    if ((text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' || (text[2] | 0x20) != 'm') return nullptr;
    const char* digits = text + 3;
    const std::size_t length = std::strspn(digits, "0123456789");
    if (length == 0 || digits[length] != '\0' || length > 10) return nullptr;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < length; ++i) value = value * 10 + static_cast<std::uint64_t>(digits[i] - '0');
    return value <= 0x7FFFFFFFULL ? digits : nullptr;
}

}  // namespace

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
    if (com_digits(text) != nullptr) return PortArgument::ComName;
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

PortName parse_port_name(const char* argument) {
    PortName name{PortKind::Number, 0, PortArgument::Plain, ""};
    const char* rest = nullptr;
    if (starts_with(argument, "usb:")) {
        name.kind = PortKind::UsbSerial;
        rest = argument + 4;
    } else if (starts_with(argument, "usb@")) {
        name.kind = PortKind::UsbLocation;
        rest = argument + 4;
    } else if (com_digits(argument) == nullptr &&
               (std::strchr(argument, '/') != nullptr || starts_with(argument, "\\\\.\\"))) {
        name.kind = PortKind::Device;
        rest = argument;
    }
    if (rest != nullptr) {
        std::snprintf(name.text, sizeof name.text, "%s", rest);
        return name;
    }
    name.form = classify_port_argument(argument);
    const char* digits = com_digits(argument);
    name.number = parse_port_number(digits != nullptr ? digits : argument);
    return name;
}

void port_label(const PortName& name, char* text, std::size_t size) {
    switch (name.kind) {
    case PortKind::Number: std::snprintf(text, size, "COM%d", name.number); return;
    case PortKind::Device: std::snprintf(text, size, "%s", name.text); return;
    case PortKind::UsbSerial: std::snprintf(text, size, "usb:%s", name.text); return;
    case PortKind::UsbLocation: std::snprintf(text, size, "usb@%s", name.text); return;
    }
}
