#include "hex_load_model.h"

#include <cstring>

#include "image/hex_image.h"
#include "image/hex_line_reader.h"

// The model states the limits it was written for; a change to them must be
// thought through here too.
static_assert(HEX_LINE_MAX == 522, "the longest delivered line is 521 characters");
static_assert(HEX_READ_BUFFER_SIZE == 4096, "a line of 4096 characters ends the input");
static_assert(HEX_RECORD_SIZE == 260, "a line decodes to at most 260 bytes");
static_assert(IMAGE_BASE == 0x4000 && TRANSFER_LENGTH == 0xFC000 && IMAGE_SIZE == 0x1000000,
              "the window is device addresses 0x4000-0xFFFFF of a 16 MB image");

const std::uint32_t HEX_MODEL_SENTINEL_OFFSETS[HEX_MODEL_SENTINELS] = {
    TRANSFER_LENGTH,  // first byte above the window
    IMAGE_SIZE / 2,   // somewhere in the middle
    0xFFC0FD,         // highest a record can reach: 0xFF0000 + 0xFFFF + 254 - IMAGE_BASE
    IMAGE_SIZE - 1,   // the very top, only ever filled
};

namespace {

constexpr std::size_t LONGEST_DELIVERED_LINE = 521;
constexpr std::size_t LONGEST_BUFFERED_LINE = 4095;
constexpr std::size_t RECORD_BYTES = 260;

// Bytes that Intel HEX text may hold.
bool is_text(std::uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == ':' || c == '\r' ||
           c == '\n' || c == ' ' || c == '\t' || c == 0x1A;
}

void note(HexModelNotes& notes, std::uint32_t line) {
    if (notes.count++ == 0) notes.first_line = line;
}

// The state carried from one line to the next.
struct Loader {
    std::uint8_t record[RECORD_BYTES];  // never cleared: short lines keep the old bytes
    std::uint32_t upper;
    bool searching;
    HexLoadExpectation result;
    std::uint8_t* window;
};

int digit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return 10 + (c - 'a');
    if (c >= 'A' && c <= 'F') return 10 + (c - 'A');
    return -1;
}

// Digits pair into bytes in order; anything else is passed over. The text ends
// at its first NUL, as the loader sees C text. An odd last digit still sets the
// high half of the next byte.
std::size_t decode(Loader& loader, const std::uint8_t* text, std::size_t length) {
    std::size_t digits = 0;
    for (std::size_t i = 0; i < length && text[i] != 0; ++i) {
        const int value = digit(text[i]);
        if (value < 0) continue;
        const std::size_t at = digits / 2;
        if (at == RECORD_BYTES) break;
        if (digits % 2 == 0) {
            loader.record[at] = static_cast<std::uint8_t>(value << 4);
        } else {
            loader.record[at] = static_cast<std::uint8_t>(loader.record[at] + value);
        }
        ++digits;
    }
    return digits / 2 < RECORD_BYTES ? digits / 2 : RECORD_BYTES;
}

void put(Loader& loader, std::uint64_t device_address, std::uint8_t value, std::uint32_t line) {
    if (device_address < IMAGE_BASE) return;
    const std::uint64_t offset = device_address - IMAGE_BASE;
    if (offset < TRANSFER_LENGTH) {
        loader.window[offset] = value;
        loader.result.placed = true;
    } else {
        if (loader.result.beyond_window_bytes++ == 0) loader.result.beyond_window_line = line;
    }
    for (std::size_t s = 0; s < HEX_MODEL_SENTINELS; ++s) {
        if (offset == HEX_MODEL_SENTINEL_OFFSETS[s]) loader.result.sentinel[s] = value;
    }
}

// True if the line holds a foreign byte, which is then noted.
bool foreign(Loader& loader, const std::uint8_t* text, std::size_t length, std::uint32_t line) {
    for (std::size_t i = 0; i < length; ++i) {
        if (!is_text(text[i])) {
            loader.result.foreign_line = line;
            loader.result.foreign_byte = text[i];
            return true;
        }
    }
    return false;
}

// A record is loaded as written; the model notes what is wrong with it.
void check(Loader& loader, std::size_t decoded, std::uint32_t line) {
    if (decoded == 0) return;  // a blank line: the record before it again
    const std::size_t needed = loader.record[0] + std::size_t{5};
    if (decoded < needed) {
        note(loader.result.cut_record, line);
        return;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < needed; ++i) sum += loader.record[i];
    if (sum % 256 != 0) note(loader.result.bad_checksum, line);
}

void take_line(Loader& loader, const std::uint8_t* text, std::size_t length, std::uint32_t line) {
    ++loader.result.lines;
    const std::size_t decoded = decode(loader, text, length);
    check(loader, decoded, line);
    const std::uint8_t* r = loader.record;
    if (decoded >= 4 && r[3] == 0x01 && loader.result.end_record_line == 0) loader.result.end_record_line = line;
    const unsigned count = r[0];
    const unsigned type = r[3];

    bool sets_base = false;
    if (type == 0x04 && (loader.searching || count == 2)) {
        loader.upper = static_cast<std::uint32_t>(r[5]) * 0x10000;
        sets_base = true;
    } else if (type == 0x02 && count == 2) {
        loader.upper = (static_cast<std::uint32_t>(r[4]) * 256 + r[5]) * 16;
        sets_base = true;
    }
    const std::uint64_t start = sets_base ? loader.upper : loader.upper + r[1] * 256u + r[2];

    if (loader.searching) {
        if (start < IMAGE_BASE) {
            if (!sets_base && type == 0x00 && start + count > IMAGE_BASE) note(loader.result.skipped_across_base, line);
            return;
        }
        loader.searching = false;
        loader.result.filled = true;
        std::memset(loader.window, 0xFF, TRANSFER_LENGTH);
    }
    if (sets_base || type != 0x00) return;
    for (unsigned i = 0; i < count; ++i) put(loader, start + i, r[4 + i], line);
}

}  // namespace

HexLoadExpectation model_hex_load(const std::uint8_t* text, std::size_t size, bool complete,
                                  std::uint8_t* window) {
    Loader loader{};
    loader.searching = true;
    loader.window = window;
    for (int& s : loader.result.sentinel) s = -1;
    std::memset(window, 0, TRANSFER_LENGTH);

    // A source that fails within the first three bytes fails the look for a
    // byte-order mark: no line is read. A mark there is passed over.
    if (!complete && size < 3) return loader.result;
    std::size_t start = size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF ? 3 : 0;
    std::uint32_t line = 0;
    while (start < size) {
        std::size_t end = start;
        while (end < size && text[end] != '\r' && text[end] != '\n') ++end;
        const std::size_t length = end - start;
        if (end == size && !complete && length <= LONGEST_BUFFERED_LINE) break;  // never cut before the failure
        ++line;
        if (length > LONGEST_BUFFERED_LINE) {
            // The reader cannot hold it: what it buffered of the line is checked, and the input ends.
            if (!foreign(loader, text + start, LONGEST_BUFFERED_LINE + 1, line)) loader.result.cut_off_line = line;
            break;
        }
        if (foreign(loader, text + start, length, line)) break;
        if (length > LONGEST_DELIVERED_LINE) {
            note(loader.result.long_line, line);
        } else {
            take_line(loader, text + start, length, line);
        }
        if (end == size) break;
        // CR LF is one line end.
        if (text[end] == '\r' && end + 1 < size && text[end + 1] == '\n') ++end;
        start = end + 1;
    }
    return loader.result;
}
