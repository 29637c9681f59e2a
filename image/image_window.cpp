#include "image/image_window.h"

#include <algorithm>
#include <cstring>

#include "image/image_fingerprint.h"

void ImageOverlay::put(std::uint32_t address, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (address + i < IMAGE_BASE || address + i >= IMAGE_BASE + TRANSFER_LENGTH) continue;  // never sent
        const std::uint32_t offset = address + static_cast<std::uint32_t>(i) - IMAGE_BASE;
        const std::uint32_t index = offset / WINDOW_CHUNK;
        auto chunk = std::lower_bound(chunks_.begin(), chunks_.end(), index,
                                      [](const PatchedChunk& c, std::uint32_t k) { return c.index < k; });
        if (chunk == chunks_.end() || chunk->index != index) {
            PatchedChunk fresh{index, {}};
            std::memcpy(fresh.data, base_.bytes + std::size_t{index} * WINDOW_CHUNK, WINDOW_CHUNK);
            chunk = chunks_.insert(chunk, fresh);
        }
        chunk->data[offset % WINDOW_CHUNK] = data[i];
    }
}

ImageWindow ImageOverlay::window() const {
    return ImageWindow{base_.bytes, chunks_.data(), chunks_.size()};
}

std::uint32_t window_crc32(const ImageWindow& image) {
    std::uint32_t crc = 0;
    std::size_t at = 0;  // bytes summed so far
    for (std::size_t i = 0; i < image.patched_count; ++i) {
        const std::size_t start = std::size_t{image.patched[i].index} * WINDOW_CHUNK;
        crc = crc32_of(image.bytes + at, start - at, crc);
        crc = crc32_of(image.patched[i].data, WINDOW_CHUNK, crc);
        at = start + WINDOW_CHUNK;
    }
    return crc32_of(image.bytes + at, TRANSFER_LENGTH - at, crc);
}
