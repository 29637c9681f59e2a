#include <cstring>

#include "image/flash_memory.h"
#include "image/hex_image.h"

std::uint8_t flash_image[IMAGE_SIZE];

void erase_flash_image() {
    std::memset(flash_image, 0xFF, IMAGE_SIZE);
}
