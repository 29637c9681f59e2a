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

constexpr std::uint8_t BYTE_ORDER_MARK[3] = {0xEF, 0xBB, 0xBF};

// At the start of the file: passes over a UTF-8 byte-order mark, which some
// editors write. Returns false when the source failed.
bool pass_byte_order_mark(HexFileReader& reader, HexSource& file) {
    while (reader.fill < 3 && !reader.at_end) {
        if (!refill(reader, file)) return false;
    }
    if (reader.fill >= 3 && std::memcmp(reader.buffer, BYTE_ORDER_MARK, 3) == 0) reader.read_pos = 3;
    reader.started = true;
    return true;
}

// Hands out buffer[start, start + length) as the next line: copied to dst as
// text if it fits, otherwise only pointed at.
HexLine cut_line(HexFileReader& reader, std::int32_t start, std::int32_t length, char* dst, std::size_t dst_size) {
    ++reader.line_number;
    reader.line = reader.buffer + start;
    reader.line_length = static_cast<std::size_t>(length);
    if (reader.line_length >= dst_size) return HexLine::Skipped;
    std::memcpy(dst, reader.line, reader.line_length);
    dst[length] = '\0';
    return HexLine::Delivered;
}

}  // namespace

HexLine read_hex_line(HexFileReader& reader, HexSource& file, char* dst, std::size_t dst_size) {
    if (!reader.started && !pass_byte_order_mark(reader, file)) return HexLine::End;
    for (;;) {
        if (reader.skip_lf) {
            if (reader.read_pos < reader.fill) {
                if (reader.buffer[reader.read_pos] == '\n') ++reader.read_pos;
                reader.skip_lf = false;
            } else if (reader.at_end) {
                reader.skip_lf = false;
            } else {
                if (!refill(reader, file)) return HexLine::End;
                continue;
            }
        }

        const std::int32_t start = reader.read_pos;
        const std::int32_t end = find_line_end(reader);
        if (end >= 0) {
            reader.skip_lf = reader.buffer[end] == '\r';
            reader.read_pos = end + 1;
            return cut_line(reader, start, end - start, dst, dst_size);
        }

        if (reader.at_end) {
            if (start == reader.fill) return HexLine::End;
            reader.read_pos = reader.fill;  // last line, without a line end
            return cut_line(reader, start, reader.fill - start, dst, dst_size);
        }
        if (start == 0 && reader.fill == HEX_READ_BUFFER_SIZE) {
            // A line longer than the buffer: what is buffered of it is all that is seen.
            ++reader.line_number;
            reader.line = reader.buffer;
            reader.line_length = HEX_READ_BUFFER_SIZE;
            reader.read_pos = reader.fill;
            reader.at_end = true;
            return HexLine::TooLong;
        }
        if (!refill(reader, file)) return HexLine::End;
    }
}
