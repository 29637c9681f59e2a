// The firmware image the benchmarks download: 1 MB of fixed pseudo-random bytes
// at device addresses 0x00000-0xFFFFF, and its Intel HEX text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t SAMPLE_IMAGE_SIZE = 0x100000;

// Fills `image` (SAMPLE_IMAGE_SIZE bytes) with the same bytes on every call.
void fill_sample_image(std::uint8_t* image);

// Intel HEX text of `image` placed at address 0: a type 04 record at each 64 KB
// page, data records of `per_record` bytes (1-255), the end record, CR LF line ends.
std::string sample_hex_text(const std::uint8_t* image, std::size_t size, std::size_t per_record);
