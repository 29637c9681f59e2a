// The in-memory copy of the device's flash, built from an Intel HEX file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/hex_file.h"

// flash_image[k] holds device address IMAGE_BASE + k.
constexpr std::uint32_t IMAGE_BASE = 0x4000;
constexpr std::size_t IMAGE_SIZE = 0x1000000;

// The part of the image that is sent to the device: addresses 0x4000-0xFFFFF.
constexpr std::uint32_t TRANSFER_LENGTH = 0xFC000;

// Longest valid record: ':' and 2 digits each for count, address (2), type,
// 255 data bytes and checksum, i.e. 521 characters; plus the NUL.
constexpr std::size_t HEX_LINE_MAX = 1 + 2 * (1 + 2 + 1 + 255 + 1) + 1;

// Decoded record: count, address high, address low, type, data, checksum.
constexpr std::size_t HEX_RECORD_SIZE = 4 + 255 + 1;

extern std::uint8_t flash_image[IMAGE_SIZE];

enum class LoadResult {
    Loaded,             // at least one byte was placed in the transferred part
    NothingToDownload,  // no byte of the transferred part came from the file
    ReadFailed,         // the file could not be read to its end
};

// Reads the whole file and places its data records in flash_image. The image is
// filled with 0xFF once, when the first record at or above `base` is met;
// records that start below `base` before that point are skipped whole.
LoadResult load_hex_image(HexSource& file, std::uint32_t base);
