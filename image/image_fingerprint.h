// A fingerprint of the image a download sends: CRC-32 (IEEE 802.3, as zlib's
// crc32) and SHA-256 of the TRANSFER_LENGTH bytes from device address
// IMAGE_BASE, so that an operator can tell which image a box received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/image_window.h"

struct ImageFingerprint {
    std::uint32_t crc32;
    std::uint8_t sha256[32];
};

// The fingerprint of the TRANSFER_LENGTH bytes a download sends.
ImageFingerprint fingerprint_image(const ImageWindow& image);

// CRC-32 of `size` bytes, continuing from `crc` (0 to start).
std::uint32_t crc32_of(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// SHA-256 of `size` bytes.
void sha256_of(const std::uint8_t* data, std::size_t size, std::uint8_t digest[32]);

// The SHA-256 as 64 lower-case hex digits and a NUL.
void format_sha256(const std::uint8_t digest[32], char text[65]);

// The two as the tool writes them everywhere: "0x5E1F0C27", and 64 lower-case hex digits.
std::string crc32_text(std::uint32_t crc32);
std::string sha256_text(const std::uint8_t digest[32]);

// The trace's line for the fingerprint of what is sent.
void trace_fingerprint(const ImageFingerprint& fingerprint);
