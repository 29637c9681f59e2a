#include <cstring>
#include <sys/mman.h>

#include "image/flash_memory.h"
#include "image/hex_image.h"

// Aligned to the 2 MB large page so that the whole image can sit in large pages.
alignas(0x200000) std::uint8_t flash_image[IMAGE_SIZE];

void erase_flash_image() {
    // The first fill in a process costs mostly the faults of fresh 4 KB pages,
    // 4,096 of them, far more than decoding a whole hex file; in large pages it
    // is 8. The request is only a hint: where it is refused nothing changes.
    madvise(flash_image, IMAGE_SIZE, MADV_HUGEPAGE);
    std::memset(flash_image, 0xFF, IMAGE_SIZE);
}
