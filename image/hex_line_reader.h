// Cuts the hex file into text lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/hex_file.h"

constexpr std::int32_t HEX_READ_BUFFER_SIZE = 4096;

// Reading state for one hex file. Start from a zero-initialised value.
struct HexFileReader {
    std::uint8_t buffer[HEX_READ_BUFFER_SIZE];
    std::int32_t read_pos;  // first byte not yet delivered
    std::int32_t fill;      // valid bytes in buffer
    bool skip_lf;           // the last line ended in CR: an LF right after it belongs to it
    bool at_end;            // the source reported its end
    bool failed;            // the source reported a read failure
};

// Delivers the next line of the file into `dst` as NUL-terminated text without
// its line end, and returns 1; returns 0 when no further line can be delivered.
//
// CR LF, LF and CR each end a line (CR LF counts once), and a last line without
// any line end is delivered too. A line that does not fit in `dst` is skipped
// whole. A line that does not fit in the reader's buffer ends the input, as do
// the end of the file and a read failure (which sets `reader.failed`).
int read_hex_line(HexFileReader& reader, HexSource& file, char* dst, std::size_t dst_size);
