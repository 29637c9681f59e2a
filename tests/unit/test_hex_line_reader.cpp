#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "image/hex_line_reader.h"
#include "support/memory_source.h"

namespace {

struct ReadAll {
    std::vector<std::string> lines;
    bool failed;
    int reads;
};

ReadAll read_all(MemorySource& source, std::size_t dst_size = 64) {
    HexFileReader reader{};
    ReadAll result{{}, false, 0};
    std::vector<char> dst(dst_size + 1, '#');
    for (;;) {
        const HexLine got = read_hex_line(reader, source, dst.data(), dst_size);
        if (got == HexLine::End || got == HexLine::TooLong) break;
        EXPECT_EQ(dst[dst_size], '#') << "wrote past dst";
        if (got == HexLine::Delivered) result.lines.emplace_back(dst.data());
    }
    result.failed = reader.failed;
    result.reads = source.reads();
    return result;
}

ReadAll read_all(const std::string& text, std::size_t chunk = SIZE_MAX, std::size_t dst_size = 64) {
    MemorySource source(text, chunk);
    return read_all(source, dst_size);
}

// Splits text the simple way: CR LF, LF or CR end a line; a last line without an end counts.
std::vector<std::string> reference_lines(const std::string& text, std::size_t max_length) {
    std::vector<std::string> lines;
    std::string current;
    bool open = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (current.size() <= max_length) lines.push_back(current);
            current.clear();
            open = false;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            current += c;
            open = true;
        }
    }
    if (open && current.size() <= max_length) lines.push_back(current);
    return lines;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(HexLineReader, EveryLineEndStyleAndAnUnterminatedLastLine) {
    const struct {
        const char* text;
        Lines lines;
    } cases[] = {
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\nb", {"a", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\r\n\r\nb\r\n", {"a", "", "b"}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"a\r\rb", {"a", "", "b"}},
        {"\r\n", {""}},
        {"", {}},
        {"x", {"x"}},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, SIZE_MAX}) {
            EXPECT_EQ(read_all(c.text, chunk).lines, c.lines) << "chunk " << chunk << " text " << c.text;
        }
    }
}

TEST(HexLineReader, MatchesASimpleSplitterForAnySplitOfTheInput) {
    std::mt19937 random(12345);
    const std::string alphabet = ":0123456789ABCDEF\r\n\r\n \n";
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int size = static_cast<int>(random() % 9000);
        for (int i = 0; i < size; ++i) text += alphabet[random() % alphabet.size()];
        const std::size_t chunk = 1 + random() % 5000;
        const std::size_t dst_size = 2 + random() % 60;
        EXPECT_EQ(read_all(text, chunk, dst_size).lines, reference_lines(text, dst_size - 1))
            << "round " << round << " chunk " << chunk << " dst " << dst_size;
    }
}

TEST(HexLineReader, AnyByteValueAndLongLinesMatchTheSimpleSplitter) {
    // Bytes that differ from CR or LF in one bit (0x8D, 0x8A, 0x0C, 0x0E, ...)
    // must not be taken for line ends, wherever they sit in an 8-byte word.
    std::mt19937 random(777);
    for (int round = 0; round < 200; ++round) {
        std::string text;
        while (text.size() < 6000) {
            const std::size_t length = random() % 600;
            for (std::size_t i = 0; i < length; ++i) {
                char c = static_cast<char>(random() % 256);
                if (c == '\r' || c == '\n' || c == '\0') c = static_cast<char>(0x8D);
                text += c;
            }
            text += random() % 3 == 0 ? "\r\n" : random() % 2 == 0 ? "\n" : "\r";
        }
        const std::size_t chunk = 1 + random() % 4096;
        EXPECT_EQ(read_all(text, chunk, 522).lines, reference_lines(text, 521)) << "round " << round;
    }
}

TEST(HexLineReader, LineEndSplitAcrossReadsIsOneLineEnd) {
    // CR as the last byte of one read and LF as the first of the next.
    const std::string text = std::string(10, 'A') + "\r\nB\r\n";
    for (std::size_t chunk = 1; chunk <= text.size(); ++chunk) {
        EXPECT_EQ(read_all(text, chunk).lines, (Lines{std::string(10, 'A'), "B"})) << chunk;
    }
    // The same at the boundary of the 4096-byte buffer.
    const std::string line(4095, '1');
    EXPECT_EQ(read_all(line + "\r\n2\r\n", SIZE_MAX, 5000).lines, (Lines{line, "2"}));
}

TEST(HexLineReader, LinesTooLongForTheDestinationAreSkippedWhole) {
    const std::string fits(63, 'F');
    const std::string too_long(64, 'L');
    EXPECT_EQ(read_all("a\r\n" + too_long + "\r\n" + fits + "\r\nb").lines, (Lines{"a", fits, "b"}));
    EXPECT_EQ(read_all(too_long).lines, Lines{});
    EXPECT_EQ(read_all(std::string(3000, 'L') + "\nz\n", 7).lines, Lines{"z"});
}

TEST(HexLineReader, ALineLongerThanTheReadBufferEndsTheInput) {
    const std::string longest(4095, 'x');
    EXPECT_EQ(read_all("a\n" + longest + "\nb\n", SIZE_MAX, 5000).lines, (Lines{"a", longest, "b"}));
    EXPECT_EQ(read_all("a\n" + std::string(4096, 'x') + "\nb\n", SIZE_MAX, 5000).lines, Lines{"a"});
    EXPECT_EQ(read_all("a\n" + std::string(10000, 'x') + "\nb\n", 100, 5000).lines, Lines{"a"});
}

TEST(HexLineReader, ReadFailureEndsTheInputAndIsReported) {
    MemorySource source("one\r\ntwo\r\nthree\r\n", 5, 2);
    const ReadAll got = read_all(source);
    EXPECT_EQ(got.lines, (Lines{"one", "two"}));  // the third read fails
    EXPECT_TRUE(got.failed);

    MemorySource clean("one\r\n", 5);
    EXPECT_FALSE(read_all(clean).failed);
}

TEST(HexLineReader, ShortReadsAreToppedUpNotTakenForTheEnd) {
    std::string text;
    Lines expected;
    for (int i = 0; i < 500; ++i) {
        expected.push_back(":10000000" + std::to_string(i));
        text += expected.back() + "\r\n";
    }
    const ReadAll got = read_all(text, 7);
    EXPECT_EQ(got.lines, expected);
    EXPECT_GE(got.reads, static_cast<int>(text.size() / 7));
}
