// Writes Intel HEX text for tests, independently of the loader under test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hexw {

// One record with a correct checksum, without a line end.
inline std::string record(std::uint8_t type, std::uint16_t offset, const std::vector<std::uint8_t>& data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
    char text[16];
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset, type);
    std::string line = text;
    for (std::uint8_t b : data) {
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}

inline std::string linear_address(std::uint16_t upper) {
    return record(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}

inline std::string segment_address(std::uint16_t segment) {
    return record(0x02, 0, {static_cast<std::uint8_t>(segment >> 8), static_cast<std::uint8_t>(segment)});
}

inline std::string end_of_file() {
    return record(0x01, 0, {});
}

// `data` placed from `address` in records of `per_record` bytes, with type 04
// records wherever the upper 16 bits change; lines end with `eol`.
inline std::string image(std::uint32_t address, const std::vector<std::uint8_t>& data, std::size_t per_record,
                         const std::string& eol = "\r\n") {
    std::string text;
    long upper = -1;
    for (std::size_t i = 0; i < data.size();) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(i);
        if (static_cast<long>(at >> 16) != upper) {
            upper = at >> 16;
            text += linear_address(static_cast<std::uint16_t>(upper)) + eol;
        }
        std::size_t n = per_record;
        if (n > data.size() - i) n = data.size() - i;
        const std::size_t to_boundary = 0x10000 - (at & 0xFFFF);  // a record never wraps its 64 KB page
        if (n > to_boundary) n = to_boundary;
        text += record(0x00, static_cast<std::uint16_t>(at & 0xFFFF),
                       std::vector<std::uint8_t>(data.begin() + static_cast<long>(i),
                                                 data.begin() + static_cast<long>(i + n))) + eol;
        i += n;
    }
    return text + end_of_file() + eol;
}

}  // namespace hexw
