#include "image/hex_image.h"

#include <cstring>

#include "image/flash_memory.h"
#include "image/hex_digits.h"
#include "image/hex_line_reader.h"


namespace {

enum RecordType : std::uint8_t {
    DATA = 0x00,
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

// Copies a data record to the image, dropping any part below `base`. Returns
// true when a byte landed in the transferred part of the image.
bool place_data(std::uint32_t address, const std::uint8_t* data, std::uint32_t count,
                std::uint32_t base) {
    const std::uint64_t end = static_cast<std::uint64_t>(address) + count;
    if (count == 0 || end <= base) return false;
    const std::uint32_t skipped = address < base ? base - address : 0;
    const std::uint64_t offset = static_cast<std::uint64_t>(address) + skipped - base;
    if (offset >= IMAGE_SIZE) return false;
    std::uint64_t length = count - skipped;
    if (offset + length > IMAGE_SIZE) length = IMAGE_SIZE - offset;
    std::memcpy(flash_image + offset, data + skipped, static_cast<std::size_t>(length));
    return offset < TRANSFER_LENGTH;
}

}  // namespace

LoadResult load_hex_image(HexSource& file, std::uint32_t base) {
    HexFileReader reader{};
    char line[HEX_LINE_MAX];
    // Not cleared between lines: a blank line leaves the previous record in place
    // and so repeats it.
    std::uint8_t record[HEX_RECORD_SIZE] = {};
    std::uint32_t upper = 0;
    bool searching = true;
    bool placed = false;

    while (read_hex_line(reader, file, line, sizeof line) == 1) {
        hex_to_bytes(line, record, sizeof record);

        const bool address_record = take_address_record(record, searching, upper);
        const std::uint32_t address =
            address_record ? upper : upper + ((static_cast<std::uint32_t>(record[1]) << 8) | record[2]);
        if (searching) {
            if (address < base) continue;  // skipped whole, even if it reaches past the base
            erase_flash_image();
            searching = false;
        }
        if (!address_record && record[3] == DATA && place_data(address, record + 4, record[0], base)) {
            placed = true;
        }
    }

    if (reader.failed) return LoadResult::ReadFailed;
    return placed ? LoadResult::Loaded : LoadResult::NothingToDownload;
}
