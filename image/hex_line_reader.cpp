#include "image/hex_line_reader.h"

#include <cstring>

namespace {

// Moves the undelivered bytes to the front and tops the buffer up with one read.
// Returns false when the source failed.
bool refill(HexFileReader& reader, HexSource& file) {
    const std::int32_t kept = reader.fill - reader.read_pos;
    std::memmove(reader.buffer, reader.buffer + reader.read_pos, static_cast<std::size_t>(kept));
    reader.read_pos = 0;
    reader.fill = kept;

    const std::size_t room = static_cast<std::size_t>(HEX_READ_BUFFER_SIZE - kept);
    const long got = file.read(reader.buffer + kept, room);
    if (got < 0) {
        reader.failed = true;
        return false;
    }
    if (got == 0) {
        reader.at_end = true;
    } else {
        // A source never gets to claim more than it was offered.
        reader.fill += static_cast<std::int32_t>(static_cast<std::size_t>(got) < room ? got : room);
    }
    return true;
}

// True when any of the eight bytes in `word` equals `byte` (the classic
// "has a zero byte" test applied to word XOR byte-pattern; exact, no false hits).
bool has_byte(std::uint64_t word, std::uint8_t byte) {
    constexpr std::uint64_t ONES = 0x0101010101010101ULL;
    constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;
    const std::uint64_t x = word ^ (ONES * byte);
    return ((x - ONES) & ~x & HIGHS) != 0;
}

std::int32_t find_line_end(const HexFileReader& reader) {
    std::int32_t i = reader.read_pos;
    // Skip eight bytes at a time while none of them ends a line; a hex line is
    // mostly digits, so this takes most of the scan.
    for (; i + 8 <= reader.fill; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, reader.buffer + i, sizeof word);
        if (has_byte(word, '\r') || has_byte(word, '\n')) break;
    }
    for (; i < reader.fill; ++i) {
        const std::uint8_t c = reader.buffer[i];
        if (c == '\r' || c == '\n') return i;
    }
    return -1;
}

// Copies buffer[start, start + length) to dst as text; false if it does not fit.
bool copy_line(const HexFileReader& reader, std::int32_t start, std::int32_t length,
               char* dst, std::size_t dst_size) {
    if (static_cast<std::size_t>(length) >= dst_size) return false;
    std::memcpy(dst, reader.buffer + start, static_cast<std::size_t>(length));
    dst[length] = '\0';
    return true;
}

}  // namespace

int read_hex_line(HexFileReader& reader, HexSource& file, char* dst, std::size_t dst_size) {
    for (;;) {
        if (reader.skip_lf) {
            if (reader.read_pos < reader.fill) {
                if (reader.buffer[reader.read_pos] == '\n') ++reader.read_pos;
                reader.skip_lf = false;
            } else if (reader.at_end) {
                reader.skip_lf = false;
            } else {
                if (!refill(reader, file)) return 0;
                continue;
            }
        }

        const std::int32_t start = reader.read_pos;
        const std::int32_t end = find_line_end(reader);
        if (end >= 0) {
            reader.skip_lf = reader.buffer[end] == '\r';
            reader.read_pos = end + 1;
            if (copy_line(reader, start, end - start, dst, dst_size)) return 1;
            continue;  // too long for dst: skipped whole
        }

        if (reader.at_end) {
            if (start == reader.fill) return 0;
            reader.read_pos = reader.fill;  // last line, without a line end
            if (copy_line(reader, start, reader.fill - start, dst, dst_size)) return 1;
            continue;
        }
        if (start == 0 && reader.fill == HEX_READ_BUFFER_SIZE) return 0;  // line longer than the buffer
        if (!refill(reader, file)) return 0;
    }
}
