#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/hex_image.h"
#include "image/image_fingerprint.h"
#include "support/hex_writer.h"
#include "support/memory_source.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

LoadResult load(const std::string& text, std::size_t chunk = SIZE_MAX, HexLoadReport* report = nullptr) {
    std::memset(flash_image, 0, IMAGE_SIZE);  // as at program start
    MemorySource source(text, chunk);
    HexLoadReport local;
    return load_hex_image(source, IMAGE_BASE, report != nullptr ? *report : local);
}

Bytes random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

// The window as the device gets it, built from (device address, bytes) pieces.
Bytes expected_window(const std::vector<std::pair<std::uint32_t, Bytes>>& pieces) {
    Bytes window(TRANSFER_LENGTH, 0xFF);
    for (const auto& [address, bytes] : pieces) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::uint64_t at = address + i;
            if (at >= IMAGE_BASE && at < IMAGE_BASE + TRANSFER_LENGTH) window[at - IMAGE_BASE] = bytes[i];
        }
    }
    return window;
}

Bytes window() {
    return Bytes(flash_image, flash_image + TRANSFER_LENGTH);
}

// Index of the first difference, for readable failures on megabyte buffers.
long first_difference(const Bytes& a, const Bytes& b) {
    const auto [pa, pb] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return pa == a.end() && pb == b.end() ? -1 : static_cast<long>(pa - a.begin());
}

std::string lines(std::initializer_list<std::string> records) {
    std::string text;
    for (const auto& r : records) text += r + "\r\n";
    return text;
}

Bytes fill(std::size_t n, std::uint8_t value) {
    return Bytes(n, value);
}

}  // namespace

TEST(HexImage, AWholeFlashImageLoadsFromTheBaseUpward) {
    const Bytes flash = random_bytes(0x100000, 1);
    const Bytes expected(flash.begin() + IMAGE_BASE, flash.end());
    for (std::size_t per_record : {16, 32}) {
        for (const char* eol : {"\r\n", "\n", "\r"}) {
            ASSERT_EQ(load(hexw::image(0, flash, per_record, eol), 4096), LoadResult::Loaded);
            EXPECT_EQ(first_difference(window(), expected), -1) << per_record << " bytes per record";
        }
    }
    // The longest records, starting at the base (a record across it would be skipped).
    ASSERT_EQ(load(hexw::image(IMAGE_BASE, expected, 255)), LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected), -1);
    // Everything the file did not cover is 0xFF, up to the top of the image.
    EXPECT_TRUE(std::all_of(flash_image + TRANSFER_LENGTH, flash_image + IMAGE_SIZE,
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(HexImage, SparseBlocksLeaveTheGapsErased) {
    std::mt19937 random(7);
    std::vector<std::pair<std::uint32_t, Bytes>> pieces;
    std::string text;
    for (int i = 0; i < 40; ++i) {
        const std::uint32_t address = random() % 0x100000;
        pieces.emplace_back(address, random_bytes(1 + random() % 3000, static_cast<unsigned>(i)));
    }
    // Sorted so that the first record at or above the base comes after all lower ones.
    std::sort(pieces.begin(), pieces.end());
    for (const auto& [address, bytes] : pieces) {
        std::string block = hexw::image(address, bytes, 1 + random() % 255);
        text += block.substr(0, block.size() - 13);  // drop each block's end-of-file record
    }
    ASSERT_EQ(load(text), LoadResult::Loaded);
    // Blocks that start below the base before the first one at or above it are skipped whole.
    std::vector<std::pair<std::uint32_t, Bytes>> kept;
    for (const auto& piece : pieces) {
        if (piece.first >= IMAGE_BASE || !kept.empty()) kept.push_back(piece);
    }
    EXPECT_EQ(first_difference(window(), expected_window(kept)), -1);
}

TEST(HexImage, ExtendedLinearAddressFirstEndsTheSearch) {
    // Upper address 0x0001: data at 0x0000 within it is device address 0x10000,
    // whatever bits 24-31 say and, while searching, whatever the record's length.
    for (const std::string& address : {hexw::linear_address(1), hexw::linear_address(0x7F01),
                                       hexw::record(0x04, 0, {0x00, 0x01, 0x00}), hexw::record(0x04, 0, {0x00, 0x01})}) {
        ASSERT_EQ(load(lines({address, hexw::record(0, 0, {1, 2, 3}), hexw::end_of_file()})), LoadResult::Loaded)
            << address;
        EXPECT_EQ(first_difference(window(), expected_window({{0x10000, {1, 2, 3}}})), -1) << address;
    }
}

TEST(HexImage, OnlyDataRecordsPlaceBytes) {
    const std::string text = lines({
        hexw::linear_address(1),
        hexw::record(0x00, 0x0000, {0x11, 0x22, 0x33, 0x44, 0x55}),
        hexw::record(0x05, 0x0000, {0x00, 0x00, 0x80, 0x00}),  // start linear address
        hexw::record(0x03, 0x0000, {0x12, 0x34, 0x56, 0x78}),  // start segment address
        hexw::record(0x06, 0x0002, {0x99, 0x99}),              // unknown type
        hexw::record(0x01, 0x0003, {0x99}),                    // end of file with data
        hexw::record(0x04, 0x0000, {0x00, 0x00, 0x00}),        // not a valid address record
        hexw::record(0x00, 0x0005, {0x66}),                    // still in page 0x0001
    });
    ASSERT_EQ(load(text), LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x10000, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}}})), -1);
}

TEST(HexImage, ExtendedSegmentAddressesSetTheBase) {
    // As GNU objcopy writes images under 1 MB.
    const std::string text = lines({
        hexw::segment_address(0x0400),                 // 0x4000: ends the search
        hexw::record(0x00, 0x0010, {0xA1, 0xA2}),      // 0x4010
        hexw::segment_address(0xF000),                 // 0xF0000
        hexw::record(0x00, 0x0000, {0xB1}),            // 0xF0000, not 0x4000 or 0x10000
        hexw::record(0x00, 0xFFFF, {0xC1, 0xC2}),      // 0xFFFFF and 0x100000 (outside the window)
        hexw::record(0x03, 0x0000, {0xF0, 0x00, 0x00, 0x00}),
        hexw::end_of_file(),
    });
    ASSERT_EQ(load(text), LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4010, {0xA1, 0xA2}}, {0xF0000, {0xB1}}, {0xFFFFF, {0xC1}}})), -1);
    EXPECT_EQ(flash_image[0x100000 - IMAGE_BASE], 0xC2);

    // A segment below the base is skipped like any address below it.
    ASSERT_EQ(load(lines({hexw::segment_address(0x0100), hexw::record(0, 0x2FF0, {1}),
                          hexw::record(0, 0x3000, {2})})),
              LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4000, {2}}})), -1);
}

TEST(HexImage, RecordsAcrossTheBase) {
    // Before the first record at or above the base, a straddling record is skipped whole.
    ASSERT_EQ(load(lines({hexw::record(0, 0x3FF8, fill(16, 0xAA)), hexw::record(0, 0x4100, {0xBB})})),
              LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4100, {0xBB}}})), -1);

    // Afterwards its part from the base up is placed; one wholly below is dropped.
    ASSERT_EQ(load(lines({hexw::record(0, 0x4100, {0xBB}), hexw::record(0, 0x3FF8, fill(16, 0xAA)),
                          hexw::record(0, 0x1000, fill(16, 0xCC))})),
              LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4100, {0xBB}}, {0x4000, fill(8, 0xAA)}})), -1);
}

TEST(HexImage, FilesThatLeaveNothingToSend) {
    const std::string cases[] = {
        "",
        lines({hexw::end_of_file()}),
        lines({hexw::record(0, 0x0000, fill(16, 1)), hexw::record(0, 0x3FF0, fill(16, 2))}),
        lines({hexw::linear_address(0x10), hexw::record(0, 0x0000, fill(16, 3))}),  // above the window
        lines({hexw::linear_address(1), hexw::record(0x05, 0, {0, 1, 0, 0})}),
        lines({hexw::record(0, 0x3FF8, fill(16, 4))}),
        lines({hexw::record(0, 0x4010, {})}),                                   // data records with no data
        lines({hexw::linear_address(1), hexw::record(0, 0, {})}),
        "\x1A\r\n  \t\r\n::\r\n",
    };
    for (const std::string& text : cases) EXPECT_EQ(load(text), LoadResult::NothingToDownload) << text;
}

TEST(HexImage, EndOfFileRecordDoesNotStopTheLoad) {
    ASSERT_EQ(load(lines({hexw::record(0, 0x4000, {1}), hexw::end_of_file(), hexw::record(0, 0x4001, {2})})),
              LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4000, {1, 2}}})), -1);
}

TEST(HexImage, ChecksumsCaseAndBlankLinesAreTolerated) {
    ASSERT_EQ(load(":0340000001020300\r\n"  // wrong checksum: placed all the same
                   "\r\n"
                   ":02400300aBcD00\n"
                   "   \r\n"),
              LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4000, {1, 2, 3, 0xAB, 0xCD}}})), -1);
}

TEST(HexImage, ShortLinesKeepTheBytesOfTheLineBefore) {
    // The later lines claim two data bytes but carry one: the missing byte keeps
    // what the line before left there, or the value of an odd last digit.
    ASSERT_EQ(load(lines({":0440000011223344AA", ":0240100055", ":02402000667"})), LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4000, {0x11, 0x22, 0x33, 0x44}},
                                                          {0x4010, {0x55, 0x22}},
                                                          {0x4020, {0x66, 0x70}}})), -1);
}

TEST(HexImage, LongestRecordsLoadWholeAndLongerLinesAreSkipped) {
    const Bytes data = random_bytes(255, 3);
    const std::string longest = hexw::record(0, 0x4000, data);
    ASSERT_EQ(longest.size() + 1, HEX_LINE_MAX);
    HexLoadReport report{};
    ASSERT_EQ(load(lines({longest, longest.substr(0, 9) + std::string(longest.size() - 8, '0')}), SIZE_MAX, &report),
              LoadResult::Loaded);
    EXPECT_EQ(first_difference(window(), expected_window({{0x4000, data}})), -1);
    // The checksum byte of the longest record is decoded and checked like any other.
    EXPECT_EQ(report.cut_record.count + report.bad_checksum.count, 0U) << "a clean longest record got a note";
    std::string wrong = longest;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    ASSERT_EQ(load(lines({wrong}), SIZE_MAX, &report), LoadResult::Loaded);
    EXPECT_EQ(report.cut_record.count, 0U);
    ASSERT_EQ(report.bad_checksum.count, 1U);
    EXPECT_EQ(report.bad_checksum.kept[0].second, std::stoul(longest.substr(longest.size() - 2), nullptr, 16));
}

TEST(HexImage, ReadFailureIsReported) {
    std::memset(flash_image, 0, IMAGE_SIZE);
    MemorySource source(lines({hexw::record(0, 0x4000, fill(16, 1)), hexw::record(0, 0x4010, fill(16, 2))}), 30, 1);
    EXPECT_EQ(load_hex_image(source, IMAGE_BASE), LoadResult::ReadFailed);
}

TEST(HexImage, FilesThatAreNotIntelHexTextAreRefusedAtTheirFirstForeignByte) {
    const std::string record = hexw::record(0, 0x4000, {1, 2, 3});
    const struct {
        const char* name;
        std::string text;
        std::uint32_t line;  // 0: the file is accepted
        std::uint8_t byte;
    } cases[] = {
        {"byte-order mark first", "\xEF\xBB\xBF" + record + "\r\n", 0, 0},
        {"byte-order mark later", record + "\r\n\xEF\xBB\xBF" + record, 2, 0xEF},
        {"half a byte-order mark", "\xEF\xBB" + record, 1, 0xEF},
        {"Ctrl-Z end mark, spaces and tabs", record + " \t\r\n\x1A", 0, 0},
        {"high bytes", record + "\r\n" + record + "\xC3\xA9\r\n", 2, 0xC3},
        {"a word", "Intel " + record, 1, 'I'},
        {"letters after the digits", record + "g\r\n", 1, 'g'},
        {"NUL inside a line", record.substr(0, 5) + std::string(1, '\0') + record.substr(5), 1, 0x00},
        {"line numbers: CR LF, LF, CR, CR LF", "\r\n\n\r\r\nx", 5, 'x'},
        {"in a line too long for a record", record + "\n" + std::string(600, '0') + "-\n", 2, '-'},
        {"in a line too long to read", record + "\n" + std::string(5000, '0') + "." + std::string(4000, '0'), 0, 0},
        {"in the first 4096 bytes of one", record + "\n" + std::string(4000, '0') + ".", 2, '.'},
        {"after 260 decoded bytes", std::string(520, '0') + "*", 1, '*'},
        {"a control character", record + "\r\n\x0C", 2, 0x0C},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{4096}}) {
            HexLoadReport report{};
            const LoadResult result = load(c.text, chunk, &report);
            if (c.line == 0) {
                EXPECT_NE(result, LoadResult::NotIntelHex) << c.name << ", chunk " << chunk;
                continue;
            }
            EXPECT_EQ(result, LoadResult::NotIntelHex) << c.name << ", chunk " << chunk;
            EXPECT_EQ(report.foreign_line, c.line) << c.name << ", chunk " << chunk;
            EXPECT_EQ(report.foreign_byte, c.byte) << c.name << ", chunk " << chunk;
        }
    }
}

TEST(HexImage, ReportsWhatIsWrongWithRecordsThatAreLoadedAsWritten) {
    HexLoadReport report{};
    ASSERT_EQ(load(lines({
                       hexw::record(0, 0x3FF8, fill(16, 0xAA)),     // 1: reaches past the base while searching
                       ":0340000001020300",                         // 2: checksum 00, should be B7
                       ":0240100055",                               // 3: cut: 5 of the 7 bytes
                       ":01402000AA",                               // 4: no checksum: 5 of 6
                       std::string(600, '0'),                       // 5: longer than any record
                       hexw::linear_address(0x000F),                // 6
                       hexw::record(0, 0xFFF8, fill(16, 0xBB)),     // 7: 8 bytes above the window
                       hexw::linear_address(0x0010),                // 8
                       hexw::record(0, 0x0000, fill(16, 0xCC)),     // 9: 16 more
                   }),
                   SIZE_MAX, &report),
              LoadResult::Loaded);
    EXPECT_EQ(report.lines, 9U);
    ASSERT_EQ(report.skipped_across_base.count, 1U);
    EXPECT_EQ(report.skipped_across_base.kept[0].line, 1U);
    EXPECT_EQ(report.skipped_across_base.kept[0].first, 0x3FF8U);
    EXPECT_EQ(report.skipped_across_base.kept[0].second, 8U);
    ASSERT_EQ(report.bad_checksum.count, 1U);
    EXPECT_EQ(report.bad_checksum.kept[0].line, 2U);
    EXPECT_EQ(report.bad_checksum.kept[0].first, 0x00U);
    EXPECT_EQ(report.bad_checksum.kept[0].second, 0xB7U);
    ASSERT_EQ(report.cut_record.count, 2U);
    EXPECT_EQ(report.cut_record.kept[0].line, 3U);
    EXPECT_EQ(report.cut_record.kept[0].first, 5U);
    EXPECT_EQ(report.cut_record.kept[0].second, 7U);
    EXPECT_EQ(report.cut_record.kept[1].line, 4U);
    EXPECT_EQ(report.cut_record.kept[1].second, 6U);
    ASSERT_EQ(report.long_line.count, 1U);
    EXPECT_EQ(report.long_line.kept[0].line, 5U);
    EXPECT_EQ(report.long_line.kept[0].first, 600U);
    EXPECT_EQ(report.beyond_window_bytes, 24U);
    EXPECT_EQ(report.beyond_window_line, 7U);
    EXPECT_EQ(report.cut_off_line, 0U);
    EXPECT_EQ(report.bytes_placed, 3U + 2U + 1U + 16U + 16U);
    EXPECT_EQ(report.lowest_address, 0x4000U);
    EXPECT_EQ(report.highest_address, 0x10000FU);
    // As written: line 3's second byte is what line 2 left there.
    EXPECT_EQ(first_difference(window(), expected_window({{0x4000, {1, 2, 3}}, {0x4010, {0x55, 0x02}},
                                                          {0x4020, {0xAA}}, {0xFFFF8, fill(8, 0xBB)}})), -1);
}

TEST(HexImage, KeepsTheFirstNotesOfAKindAndCountsTheRest) {
    std::string text;
    for (int i = 0; i < 25; ++i) text += ":0140000001FF\r\n";  // checksum FF, should be BE
    text += std::string(5000, '0') + "\r\n" + hexw::record(0, 0x5000, {9});
    HexLoadReport report{};
    ASSERT_EQ(load(text, SIZE_MAX, &report), LoadResult::Loaded);
    EXPECT_EQ(report.bad_checksum.count, 25U);
    EXPECT_EQ(report.bad_checksum.kept[HEX_NOTES_KEPT - 1].line, HEX_NOTES_KEPT);
    EXPECT_EQ(report.cut_off_line, 26U) << "a line too long to read ends the input, and says where";
    EXPECT_EQ(flash_image[0x5000 - IMAGE_BASE], 0xFF);

    // A clean file, as ordinary tools write it, gives no note at all.
    ASSERT_EQ(load(hexw::image(0, random_bytes(0x20000, 9), 32), SIZE_MAX, &report), LoadResult::Loaded);
    EXPECT_EQ(report.bad_checksum.count + report.cut_record.count + report.skipped_across_base.count +
                  report.long_line.count + report.cut_off_line + report.beyond_window_bytes,
              0U);
}

// Known answers: the CRC-32 check value and FIPS 180-4's examples, across the
// lengths where SHA-256's padding takes one block or two.
TEST(ImageFingerprint, KnownAnswers) {
    const auto bytes = [](const char* text) { return reinterpret_cast<const std::uint8_t*>(text); };
    EXPECT_EQ(crc32_of(bytes("123456789"), 9), 0xCBF43926U);
    EXPECT_EQ(crc32_of(bytes("123456789") + 4, 5, crc32_of(bytes("123456789"), 4)), 0xCBF43926U) << "in pieces";
    const struct {
        std::string text;
        const char* sha256;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const auto& c : cases) {
        std::uint8_t digest[32];
        sha256_of(bytes(c.text.c_str()), c.text.size(), digest);
        char hex[65];
        format_sha256(digest, hex);
        EXPECT_STREQ(hex, c.sha256) << c.text.size() << " bytes";
    }
}
