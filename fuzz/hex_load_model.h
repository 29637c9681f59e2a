// A reference model of loading a hex file into the transferred window, written
// from the loader's documented behaviour without using the line reader, the hex
// decoder or the loader itself.
#pragma once

#include <cstddef>
#include <cstdint>

// Image offsets above the window that the model also tracks, so that the
// 0xFF fill of the whole image and data placed above the window are checked too.
constexpr std::size_t HEX_MODEL_SENTINELS = 4;
extern const std::uint32_t HEX_MODEL_SENTINEL_OFFSETS[HEX_MODEL_SENTINELS];

struct HexLoadExpectation {
    bool filled;     // a record at or above the base ended the search: the image was erased to 0xFF
    bool placed;     // at least one byte of the file landed in the window
    std::size_t lines;  // lines handed to the record decoder
    int sentinel[HEX_MODEL_SENTINELS];  // expected byte at each sentinel offset, -1 if not placed
};

// Works out what load_hex_image(source, IMAGE_BASE) should leave in
// flash_image[0, TRANSFER_LENGTH), starting from an all-zero window, for a source
// that hands out `text`. `complete` is false when the source failed right after
// `text`: then a last piece without a line end is never delivered. `window`
// (TRANSFER_LENGTH bytes) receives the expected window.
HexLoadExpectation model_hex_load(const std::uint8_t* text, std::size_t size, bool complete,
                                  std::uint8_t* window);
