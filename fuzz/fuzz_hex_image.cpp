// Fuzzes the image loader: any bytes as the hex file, read through the real line
// reader and loader from memory, with reads cut short or failing as the first
// input byte chooses.
//
// Input: one control byte, then the file. Low nibble of the control byte: the
// most a single read hands out (from CHUNK_LIMITS). High nibble 12-15: that read
// (0-based, from FAILING_READS) fails; below 12: no read fails.
//
// Checked on every input, beyond what the sanitizers catch:
//  - the window flash_image[0, TRANSFER_LENGTH) is exactly what a reference
//    model of the loader expects: untouched zeros while the search for the base
//    goes on, otherwise 0xFF wherever the file placed no byte;
//  - four bytes above the window follow the same rule (the fill covers the
//    whole image; data above the window lands where its address says);
//  - the result is NotIntelHex exactly when a byte that no Intel HEX text
//    holds is among those read, with its line and value; otherwise ReadFailed
//    exactly when the source failed, otherwise NothingToDownload exactly when
//    no byte landed in the window;
//  - the report counts wrong checksums, records cut short, records skipped
//    across the base, over-long lines, the line that ended the input and the
//    bytes placed above the window, each with the line of the first;
//  - loading the same file again in whole reads gives the same window.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "hex_load_model.h"
#include "image/hex_image.h"

namespace {

constexpr std::size_t CHUNK_LIMITS[16] = {
    1, 2, 3, 5, 16, 64, 255, 520, 521, 522, 1000, 2047, 4095, 4096, 4097, SIZE_MAX,
};
constexpr int FAILING_READS[4] = {0, 1, 7, 60};

// The file in memory; counts what it handed out before a failure.
class FuzzSource final : public HexSource {
public:
    FuzzSource(const std::uint8_t* data, std::size_t size, std::size_t chunk, int fail_at)
        : data_(data), size_(size), chunk_(chunk), fail_at_(fail_at) {}

    long read(std::uint8_t* dst, std::size_t size) override {
        if (reads_++ == fail_at_) {
            failed_ = true;
            return -1;
        }
        FUZZ_CHECK(!failed_, "read again after a failed read");
        FUZZ_CHECK(size > 0, "read of zero bytes at offset %zu", pos_);
        std::size_t n = size_ - pos_;
        if (n > size) n = size;
        if (n > chunk_) n = chunk_;
        std::memcpy(dst, data_ + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

    bool failed() const { return failed_; }
    std::size_t handed_out() const { return pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t chunk_;
    int fail_at_;
    std::size_t pos_ = 0;
    int reads_ = 0;
    bool failed_ = false;
};

std::uint8_t expected_window[TRANSFER_LENGTH];
std::uint8_t first_window[TRANSFER_LENGTH];

const char* name_of(LoadResult result) {
    switch (result) {
    case LoadResult::Loaded: return "Loaded";
    case LoadResult::NothingToDownload: return "NothingToDownload";
    case LoadResult::ReadFailed: return "ReadFailed";
    case LoadResult::NotIntelHex: return "NotIntelHex";
    }
    return "?";
}

// Puts the parts of the image that are checked back to their program-start value.
void clear_checked_image() {
    std::memset(flash_image, 0, TRANSFER_LENGTH);
    for (std::uint32_t offset : HEX_MODEL_SENTINEL_OFFSETS) flash_image[offset] = 0;
}

void check_notes(const char* kind, const HexNotes& got, const HexModelNotes& want) {
    FUZZ_CHECK(got.count == want.count, "%u notes of %s, expected %u", got.count, kind, want.count);
    if (want.count > 0) {
        FUZZ_CHECK(got.kept[0].line == want.first_line, "the first note of %s is on line %u, expected %u", kind,
                   got.kept[0].line, want.first_line);
    }
}

void check_report(const HexLoadReport& report, const HexLoadExpectation& expected) {
    check_notes("wrong checksums", report.bad_checksum, expected.bad_checksum);
    check_notes("records cut short", report.cut_record, expected.cut_record);
    check_notes("records skipped across the base", report.skipped_across_base, expected.skipped_across_base);
    check_notes("over-long lines", report.long_line, expected.long_line);
    FUZZ_CHECK(report.cut_off_line == expected.cut_off_line, "input cut off at line %u, expected %u",
               report.cut_off_line, expected.cut_off_line);
    FUZZ_CHECK(report.end_record_line == expected.end_record_line, "the end record on line %u, expected %u",
               report.end_record_line, expected.end_record_line);
    FUZZ_CHECK(report.beyond_window_bytes == expected.beyond_window_bytes &&
                   (expected.beyond_window_bytes == 0 || report.beyond_window_line == expected.beyond_window_line),
               "%u bytes above the window from line %u, expected %u from line %u", report.beyond_window_bytes,
               report.beyond_window_line, expected.beyond_window_bytes, expected.beyond_window_line);
}

// Loads the file once and checks the outcome; returns true if the load ended
// early (a failed read, or a file that is not Intel HEX).
bool load_and_check(const std::uint8_t* file, std::size_t size, std::size_t chunk, int fail_at) {
    clear_checked_image();
    FuzzSource source(file, size, chunk, fail_at);
    HexLoadReport report;
    const LoadResult result = load_hex_image(source, IMAGE_BASE, report);

    const bool complete = !source.failed();
    const HexLoadExpectation expected =
        model_hex_load(file, complete ? size : source.handed_out(), complete, expected_window);

    const LoadResult expected_result = expected.foreign_line != 0 ? LoadResult::NotIntelHex
                                       : !complete               ? LoadResult::ReadFailed
                                       : expected.placed         ? LoadResult::Loaded
                                                                 : LoadResult::NothingToDownload;
    FUZZ_CHECK(result == expected_result, "load gave %s, expected %s (chunk %zu, %zu lines, filled %d)",
               name_of(result), name_of(expected_result), chunk, expected.lines, expected.filled);
    if (result == LoadResult::NotIntelHex) {
        FUZZ_CHECK(report.foreign_line == expected.foreign_line && report.foreign_byte == expected.foreign_byte,
                   "foreign byte %#04x on line %u, expected %#04x on line %u", report.foreign_byte,
                   report.foreign_line, expected.foreign_byte, expected.foreign_line);
        return true;  // the load stopped there: the image is of no interest
    }
    check_report(report, expected);

    if (std::memcmp(flash_image, expected_window, TRANSFER_LENGTH) != 0) {
        std::size_t at = 0;
        while (flash_image[at] == expected_window[at]) ++at;
        FUZZ_CHECK(false, "window byte %#zx (device address %#zx) is %#04x, expected %#04x (filled %d, chunk %zu)",
                   at, at + IMAGE_BASE, flash_image[at], expected_window[at], expected.filled, chunk);
    }
    for (std::size_t s = 0; s < HEX_MODEL_SENTINELS; ++s) {
        const std::uint32_t offset = HEX_MODEL_SENTINEL_OFFSETS[s];
        const int want = expected.sentinel[s] >= 0 ? expected.sentinel[s] : expected.filled ? 0xFF : 0x00;
        FUZZ_CHECK(flash_image[offset] == want, "image byte %#x is %#04x, expected %#04x (filled %d)",
                   offset, flash_image[offset], want, expected.filled);
    }
    return !complete;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const std::size_t chunk = CHUNK_LIMITS[control & 0x0F];
    const int fail_at = (control >> 4) >= 12 ? FAILING_READS[(control >> 4) - 12] : -1;
    const std::uint8_t* file = data + 1;
    const std::size_t file_size = size - 1;

    if (load_and_check(file, file_size, chunk, fail_at)) return 0;

    // The same file in whole reads: the way reads are cut must not matter.
    std::memcpy(first_window, flash_image, TRANSFER_LENGTH);
    load_and_check(file, file_size, SIZE_MAX, -1);
    FUZZ_CHECK(std::memcmp(first_window, flash_image, TRANSFER_LENGTH) == 0,
               "the same file loaded twice gave two different windows");
    return 0;
}
