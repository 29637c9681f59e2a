#include "job/unique_value.h"

#include <cstdio>

std::size_t UniqueField::size() const {
    switch (format) {
    case UniqueFormat::Decimal: return prefix.size() + width;
    case UniqueFormat::Mac: return 6;
    case UniqueFormat::U32le:
    case UniqueFormat::U32be: return 4;
    }
    return 0;
}

std::string unique_text(const UniqueField& field, std::uint64_t value) {
    char text[32];
    switch (field.format) {
    case UniqueFormat::Decimal:
        std::snprintf(text, sizeof text, "%0*llu", static_cast<int>(field.width), static_cast<unsigned long long>(value));
        return field.prefix + text;
    case UniqueFormat::Mac:
        std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(value >> 40 & 0xFF),
                      static_cast<unsigned>(value >> 32 & 0xFF), static_cast<unsigned>(value >> 24 & 0xFF),
                      static_cast<unsigned>(value >> 16 & 0xFF), static_cast<unsigned>(value >> 8 & 0xFF),
                      static_cast<unsigned>(value & 0xFF));
        return text;
    case UniqueFormat::U32le:
    case UniqueFormat::U32be:
        return std::to_string(value);
    }
    return std::string();
}

std::vector<std::uint8_t> unique_bytes(const UniqueField& field, std::uint64_t value) {
    std::vector<std::uint8_t> bytes;
    switch (field.format) {
    case UniqueFormat::Decimal: {
        const std::string text = unique_text(field, value);
        bytes.assign(text.begin(), text.end());
        break;
    }
    case UniqueFormat::Mac:
        for (int shift = 40; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
        break;
    case UniqueFormat::U32be:
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
        break;
    case UniqueFormat::U32le:
        for (int shift = 0; shift <= 24; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
        break;
    }
    return bytes;
}

bool parse_mac(const std::string& text, std::uint64_t& value) {
    if (text.size() != 17) return false;
    value = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i % 3 == 2) {
            if (c != ':') return false;
            continue;
        }
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
            digit = (c | 0x20) - 'a' + 10;
        } else {
            return false;
        }
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    return true;
}

namespace {

bool parse_digits(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

bool parse_unique_text(const UniqueField& field, const std::string& text, std::uint64_t& value) {
    switch (field.format) {
    case UniqueFormat::Decimal:
        return text.size() == field.prefix.size() + field.width && text.compare(0, field.prefix.size(), field.prefix) == 0 &&
               parse_digits(text.substr(field.prefix.size()), value);
    case UniqueFormat::Mac:
        return parse_mac(text, value);
    case UniqueFormat::U32le:
    case UniqueFormat::U32be:
        return parse_digits(text, value) && value <= 0xFFFFFFFFULL;
    }
    return false;
}

std::string unique_pairs(const std::vector<UniqueField>& fields, const std::vector<std::uint64_t>& values) {
    std::string pairs;
    for (std::size_t i = 0; i < fields.size() && i < values.size(); ++i) {
        pairs += (pairs.empty() ? "" : " ") + fields[i].name + "=" + unique_text(fields[i], values[i]);
    }
    return pairs;
}

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < line.size()) {
        const std::size_t blank = line.find(' ', start);
        const std::size_t end = blank == std::string::npos ? line.size() : blank;
        if (end > start) words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}
