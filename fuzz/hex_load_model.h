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

// How often the loader should note one kind of thing, and the line of the first.
struct HexModelNotes {
    std::uint32_t count;
    std::uint32_t first_line;
};

struct HexLoadExpectation {
    bool filled;     // a record at or above the base ended the search: the image was erased to 0xFF
    bool placed;     // at least one byte of the file landed in the window
    std::size_t lines;  // lines handed to the record decoder
    int sentinel[HEX_MODEL_SENTINELS];  // expected byte at each sentinel offset, -1 if not placed

    // The first byte that no Intel HEX text holds, among those the loader
    // reads: its line (0 if there is none) and its value. The load ends there.
    std::uint32_t foreign_line;
    std::uint8_t foreign_byte;

    // What the loader should report of the records it loads as written.
    HexModelNotes bad_checksum;
    HexModelNotes cut_record;
    HexModelNotes skipped_across_base;
    HexModelNotes long_line;
    std::uint32_t cut_off_line;         // the line too long to read that ended the input, 0 if none
    std::uint32_t beyond_window_bytes;  // bytes placed at or above the end of the window
    std::uint32_t beyond_window_line;
    std::uint32_t end_record_line;      // the first line whose own record is an end-of-file record (type 01)
};

// Works out what load_hex_image(source, IMAGE_BASE) should leave in
// flash_image[0, TRANSFER_LENGTH), starting from an all-zero window, for a source
// that hands out `text`. `complete` is false when the source failed right after
// `text`: then a last piece without a line end is never delivered. `window`
// (TRANSFER_LENGTH bytes) receives the expected window.
HexLoadExpectation model_hex_load(const std::uint8_t* text, std::size_t size, bool complete,
                                  std::uint8_t* window);
