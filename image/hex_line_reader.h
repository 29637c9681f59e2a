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
    bool started;           // the start of the file (and a byte-order mark there) has been looked at
    bool skip_lf;           // the last line ended in CR: an LF right after it belongs to it
    bool at_end;            // nothing more is read: the source reported its end, or a
                            // line too long for the buffer ended the input
    bool failed;            // the source reported a read failure

    // The line of the last Delivered, Skipped or TooLong result: its number in
    // the file (the first line is 1) and its bytes, without the line end, in
    // the buffer above; valid until the next call.
    std::uint32_t line_number;
    const std::uint8_t* line;
    std::size_t line_length;
};

enum class HexLine {
    Delivered,  // the next line is in dst, as NUL-terminated text
    Skipped,    // the next line does not fit in dst: not copied, see reader.line
    TooLong,    // a line that does not fit even in the reader's buffer (its start
                // is in reader.line): the input ends here
    End,        // the file has ended, or a read failed (reader.failed)
};

// Cuts the next line of the file. CR LF, LF and CR each end a line (CR LF
// counts once, even split across two reads), and a last line without any line
// end is a line too. A UTF-8 byte-order mark at the very start of the file is
// passed over.
HexLine read_hex_line(HexFileReader& reader, HexSource& file, char* dst, std::size_t dst_size);
