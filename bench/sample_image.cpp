#include "bench/sample_image.h"

namespace {

constexpr char DIGITS[] = "0123456789ABCDEF";

void append_byte(std::string& text, std::uint8_t value, unsigned& sum) {
    text += DIGITS[value >> 4];
    text += DIGITS[value & 0x0F];
    sum += value;
}

void append_record(std::string& text, std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
                   std::size_t count) {
    unsigned sum = 0;
    text += ':';
    append_byte(text, static_cast<std::uint8_t>(count), sum);
    append_byte(text, static_cast<std::uint8_t>(offset >> 8), sum);
    append_byte(text, static_cast<std::uint8_t>(offset), sum);
    append_byte(text, type, sum);
    for (std::size_t i = 0; i < count; ++i) append_byte(text, data[i], sum);
    unsigned ignored = 0;
    append_byte(text, static_cast<std::uint8_t>(0x100 - (sum & 0xFF)), ignored);
    text += "\r\n";
}

}  // namespace

void fill_sample_image(std::uint8_t* image) {
    // xorshift32: cheap, and the same on every machine.
    std::uint32_t state = 0x2545F491;
    for (std::size_t i = 0; i < SAMPLE_IMAGE_SIZE; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image[i] = static_cast<std::uint8_t>(state >> 24);
    }
}

std::string sample_hex_text(const std::uint8_t* image, std::size_t size, std::size_t per_record) {
    std::string text;
    text.reserve(size / per_record * (13 + 2 * per_record) + 4096);
    long page = -1;
    for (std::size_t at = 0; at < size;) {
        if (static_cast<long>(at >> 16) != page) {
            page = static_cast<long>(at >> 16);
            const std::uint8_t upper[2] = {static_cast<std::uint8_t>(page >> 8), static_cast<std::uint8_t>(page)};
            append_record(text, 0x04, 0, upper, 2);
        }
        std::size_t count = per_record;
        if (count > size - at) count = size - at;
        const std::size_t to_page_end = 0x10000 - (at & 0xFFFF);
        if (count > to_page_end) count = to_page_end;
        append_record(text, 0x00, static_cast<std::uint16_t>(at & 0xFFFF), image + at, count);
        at += count;
    }
    append_record(text, 0x01, 0, nullptr, 0);
    return text;
}
