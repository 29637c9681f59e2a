#include "image/hex_image.h"

#include <cstring>

#include "image/flash_memory.h"
#include "image/hex_digits.h"
#include "image/hex_line_reader.h"


namespace {

enum RecordType : std::uint8_t {
    DATA = 0x00,
    END_OF_FILE = 0x01,
    EXTENDED_SEGMENT_ADDRESS = 0x02,
    EXTENDED_LINEAR_ADDRESS = 0x04,
};

// Takes an address record into `upper`, the base that later record offsets are
// added to; returns false for any other record. While searching for the image
// base, a type 04 record counts whatever its length (files depend on it).
bool take_address_record(const std::uint8_t* record, bool searching, std::uint32_t& upper) {
    const std::uint8_t count = record[0];
    const std::uint8_t type = record[3];
    if (type == EXTENDED_LINEAR_ADDRESS && (searching || count == 2)) {
        upper = static_cast<std::uint32_t>(record[5]) << 16;  // bits 24-31 (record[4]) ignored
        return true;
    }
    if (type == EXTENDED_SEGMENT_ADDRESS && count == 2) {
        upper = ((static_cast<std::uint32_t>(record[4]) << 8) | record[5]) << 4;
        return true;
    }
    return false;
}

void add_note(HexNotes& notes, std::uint32_t line, std::uint32_t first, std::uint32_t second) {
    if (notes.count < HEX_NOTES_KEPT) notes.kept[notes.count] = {line, first, second};
    ++notes.count;
}

// True, with the byte and its line noted, if `text` holds a byte that no Intel
// HEX text holds.
bool foreign_byte_in(const void* text, std::size_t size, std::uint32_t line, HexLoadReport& report) {
    const auto* bytes = static_cast<const std::uint8_t*>(text);
    const std::size_t at = find_non_hex_text(bytes, size);
    if (at == size) return false;
    report.foreign_line = line;
    report.foreign_byte = bytes[at];
    return true;
}

// A record whose bytes add up to zero and end where its count says they do:
// the usual case, which needs no closer look.
bool record_is_whole(const std::uint8_t* record, const HexBytes& decoded) {
    return decoded.count == record[0] + std::size_t{5} && (decoded.sum & 0xFF) == 0;
}

// Checks a decoded record that is not whole against its own count and
// checksum. A record is loaded as written either way; what is wrong with it
// goes into the report. A blank line (nothing decoded) repeats the record
// before it and is no record of its own.
void check_record(const std::uint8_t* record, const HexBytes& decoded, std::uint32_t line, HexLoadReport& report) {
    if (decoded.count == 0) return;
    const std::size_t needed = record[0] + std::size_t{5};  // count, address, type, data, checksum
    if (decoded.count < needed) {
        add_note(report.cut_record, line, static_cast<std::uint32_t>(decoded.count),
                 static_cast<std::uint32_t>(needed));
        return;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < needed; ++i) sum += record[i];
    const auto wanted = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    if (record[needed - 1] != wanted) add_note(report.bad_checksum, line, record[needed - 1], wanted);
}

// Keeps count of what the image holds: the bytes placed, their address range,
// and how much lies above the window that is sent.
void note_placed(std::uint64_t offset, std::uint64_t length, std::uint32_t base, std::uint32_t line,
                 HexLoadReport& report) {
    report.bytes_placed += length;
    const auto first = static_cast<std::uint32_t>(offset + base);
    const auto last = static_cast<std::uint32_t>(offset + length - 1 + base);
    if (first < report.lowest_address) report.lowest_address = first;
    if (last > report.highest_address) report.highest_address = last;
    const std::uint64_t end = offset + length;
    if (end > TRANSFER_LENGTH) {
        const std::uint64_t from = offset > TRANSFER_LENGTH ? offset : TRANSFER_LENGTH;
        if (report.beyond_window_bytes == 0) report.beyond_window_line = line;
        report.beyond_window_bytes += static_cast<std::uint32_t>(end - from);
    }
}

// Copies a data record to the image, dropping any part below `base`. Returns
// true when a byte landed in the transferred part of the image.
bool place_data(std::uint32_t address, const std::uint8_t* data, std::uint32_t count, std::uint32_t base,
                std::uint32_t line, HexLoadReport& report) {
    const std::uint64_t end = static_cast<std::uint64_t>(address) + count;
    if (count == 0 || end <= base) return false;
    const std::uint32_t skipped = address < base ? base - address : 0;
    const std::uint64_t offset = static_cast<std::uint64_t>(address) + skipped - base;
    if (offset >= IMAGE_SIZE) return false;
    std::uint64_t length = count - skipped;
    if (offset + length > IMAGE_SIZE) length = IMAGE_SIZE - offset;
    std::memcpy(flash_image + offset, data + skipped, static_cast<std::size_t>(length));
    note_placed(offset, length, base, line, report);
    return offset < TRANSFER_LENGTH;
}

// What the load keeps from one text line to the next.
struct LoadState {
    // Not cleared between lines: a blank line leaves the previous record in
    // place and so repeats it.
    std::uint8_t record[HEX_RECORD_SIZE] = {};
    std::uint32_t upper = 0;  // the upper address bits the last address record gave
    bool searching = true;    // still looking for the first record at or above the base
    bool placed = false;      // a byte landed in the part of the image that is sent
};

// A text line too long for any record: skipped, or the end of what can be
// read. False ends the load.
bool take_long_line(const HexFileReader& reader, HexLine got, HexLoadReport& report) {
    const std::uint32_t line_number = reader.line_number;
    if (foreign_byte_in(reader.line, reader.line_length, line_number, report)) return false;
    if (got == HexLine::TooLong) {
        report.cut_off_line = line_number;
        return false;
    }
    add_note(report.long_line, line_number, static_cast<std::uint32_t>(reader.line_length), 0);
    return true;
}

// One text line's record into the image. False ends the load: the line holds
// a byte no Intel HEX file has.
bool take_line(const char* line, const HexFileReader& reader, std::uint32_t base, LoadState& state,
               HexLoadReport& report) {
    const std::uint32_t line_number = reader.line_number;
    std::uint8_t* record = state.record;
    const HexBytes decoded = decode_hex_text(line, record, sizeof state.record);
    const char* line_end = line + reader.line_length;
    if (decoded.stop != line_end &&
        foreign_byte_in(decoded.stop, static_cast<std::size_t>(line_end - decoded.stop), line_number, report)) {
        return false;
    }
    if (!record_is_whole(record, decoded)) check_record(record, decoded, line_number, report);
    // Count, address and type decoded from this line: a record of its own.
    if (decoded.count >= 4 && record[3] == END_OF_FILE && report.end_record_line == 0) {
        report.end_record_line = line_number;
    }

    const bool address_record = take_address_record(record, state.searching, state.upper);
    const std::uint32_t address =
        address_record ? state.upper : state.upper + ((static_cast<std::uint32_t>(record[1]) << 8) | record[2]);
    const bool data_record = !address_record && record[3] == DATA;
    if (state.searching) {
        if (address < base) {
            // Skipped whole, even if it reaches past the base.
            if (data_record && address + record[0] > base) {
                add_note(report.skipped_across_base, line_number, address, address + record[0] - base);
            }
            return true;
        }
        erase_flash_image();
        state.searching = false;
    }
    if (data_record && place_data(address, record + 4, record[0], base, line_number, report)) state.placed = true;
    return true;
}

}  // namespace

LoadResult load_hex_image(HexSource& file, std::uint32_t base, HexLoadReport& report) {
    report = HexLoadReport{};
    report.lowest_address = UINT32_MAX;
    HexFileReader reader{};
    char line[HEX_LINE_MAX];
    LoadState state;
    for (;;) {
        const HexLine got = read_hex_line(reader, file, line, sizeof line);
        if (got == HexLine::End) break;
        const bool go_on =
            got == HexLine::Delivered ? take_line(line, reader, base, state, report) : take_long_line(reader, got, report);
        if (!go_on) break;
    }
    report.lines = reader.line_number;
    if (report.foreign_line != 0) return LoadResult::NotIntelHex;
    if (reader.failed) return LoadResult::ReadFailed;
    return state.placed ? LoadResult::Loaded : LoadResult::NothingToDownload;
}

bool hex_load_warned(const HexLoadReport& report) {
    return report.bad_checksum.count > 0 || report.cut_record.count > 0 || report.skipped_across_base.count > 0 ||
           report.long_line.count > 0 || report.cut_off_line != 0 || report.beyond_window_bytes != 0 ||
           report.end_record_line == 0;
}

LoadResult load_hex_image(HexSource& file, std::uint32_t base) {
    HexLoadReport report;
    return load_hex_image(file, base, report);
}
