// The image a download sends, as the exchange reads it: TRANSFER_LENGTH
// bytes for device addresses IMAGE_BASE onward, read-only. Whoever loads the
// image hands it on; nothing reads the loader's buffer behind its back.
#pragma once

#include <cstdint>

#include "image/hex_image.h"

struct ImageWindow {
    const std::uint8_t* bytes = nullptr;  // TRANSFER_LENGTH bytes
};

// The window of flash_image as the loader left it.
inline ImageWindow loaded_image_window() {
    return ImageWindow{flash_image};
}
