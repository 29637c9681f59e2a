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
    NotIntelHex,        // the file holds a byte that no Intel HEX text holds
};

// How many notes of each kind the loader keeps in detail; the rest are counted.
constexpr std::size_t HEX_NOTES_KEPT = 10;

// One thing the loader saw on one line of the file. What `first` and `second`
// hold depends on the kind of note (see HexLoadReport).
struct HexNote {
    std::uint32_t line;
    std::uint32_t first;
    std::uint32_t second;
};

// The notes of one kind: how many there were in all, and the first ones.
struct HexNotes {
    std::uint32_t count;
    HexNote kept[HEX_NOTES_KEPT];
};

// What the loader saw, for its caller to tell the operator. Lines are numbered
// from 1, as the line reader cuts them.
struct HexLoadReport {
    std::uint32_t lines;  // lines read

    // NotIntelHex: the line of the first byte that no Intel HEX text holds, and the byte.
    std::uint32_t foreign_line;
    std::uint8_t foreign_byte;

    // Records loaded as written despite something wrong with them.
    HexNotes bad_checksum;         // first: the checksum on the line; second: the one its bytes need
    HexNotes cut_record;           // first: bytes on the line; second: bytes the record needs (count + 5);
                                   // the missing ones are those the line before left in place
    HexNotes skipped_across_base;  // a record below the base, before the first one at or above it,
                                   // that reaches past the base: skipped whole. first: its address;
                                   // second: its bytes at and above the base, not sent
    HexNotes long_line;            // a line too long for any record, skipped. first: its length
    std::uint32_t cut_off_line;    // nonzero: a line too long to read ended the input there
    std::uint32_t beyond_window_bytes;  // data placed at or above IMAGE_BASE + TRANSFER_LENGTH, never sent
    std::uint32_t beyond_window_line;   // the first line that placed such data
    std::uint32_t end_record_line;      // the first end-of-file record (type 01); 0: none, the file may be cut short

    // What the image holds.
    std::uint64_t bytes_placed;     // data bytes placed in the image (bytes written twice count twice)
    std::uint32_t lowest_address;   // device address of the lowest byte placed
    std::uint32_t highest_address;  // ... and of the highest
};

// Whether the report holds a warning about the file (something it loads as
// written, skips, or lacks), as describe_image_file() words them.
bool hex_load_warned(const HexLoadReport& report);

// Reads the whole file and places its data records in flash_image. The image is
// filled with 0xFF once, when the first record at or above `base` is met;
// records that start below `base` before that point are skipped whole. A file
// that turns out not to be Intel HEX text stops the load at once. `report`
// receives what the loader saw along the way.
LoadResult load_hex_image(HexSource& file, std::uint32_t base, HexLoadReport& report);
LoadResult load_hex_image(HexSource& file, std::uint32_t base);
