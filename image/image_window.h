// The image a download sends, as the exchange reads it: TRANSFER_LENGTH
// bytes for device addresses IMAGE_BASE onward, read-only, and a box's own
// bytes over them (its serial number, its MAC address). Whoever loads the
// image hands it on; nothing reads the loader's buffer behind its back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/hex_image.h"

// The window is sent in chunks of this many bytes, one to a packet.
constexpr std::uint32_t WINDOW_CHUNK = 16;

// One chunk of a box's own: the window's bytes there, with the box's put over them.
struct PatchedChunk {
    std::uint32_t index;  // chunk k: device addresses IMAGE_BASE + 16k onward
    std::uint8_t data[WINDOW_CHUNK];
};

struct ImageWindow {
    const std::uint8_t* bytes = nullptr;    // TRANSFER_LENGTH bytes, shared by every box
    const PatchedChunk* patched = nullptr;  // a box's chunks, by index, at most one per chunk
    std::size_t patched_count = 0;
};

// The window of flash_image as the loader left it.
inline ImageWindow loaded_image_window() {
    return ImageWindow{flash_image, nullptr, 0};
}

// A box's bytes over a shared window: only the chunks they touch are copied,
// so a box costs a few dozen bytes, not a copy of the image.
class ImageOverlay {
public:
    explicit ImageOverlay(const ImageWindow& base) : base_(base) {}
    // Puts `size` bytes at device `address`; bytes outside the window are never sent, and left out.
    void put(std::uint32_t address, const std::uint8_t* data, std::size_t size);
    // The window with these bytes; valid while the overlay lives unchanged.
    ImageWindow window() const;

private:
    ImageWindow base_;
    std::vector<PatchedChunk> chunks_;  // by index
};

// The CRC-32 (as zlib's crc32) of the TRANSFER_LENGTH bytes `image` sends,
// its patched chunks included.
std::uint32_t window_crc32(const ImageWindow& image);
