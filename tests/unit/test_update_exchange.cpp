#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/exchange_console.h"
#include "app/progress_display.h"
#include "console/environment.h"
#include "image/hex_image.h"
#include "link/update_exchange.h"
#include "support/console_capture.h"
#include "support/memory_port.h"

namespace {

constexpr std::size_t PACKETS = 64512;
const std::string PROMPT = "STB loader\r\nwant to update? (y/n)\n";
const std::string ERASING = "Erasing flash,please wait.\n";
const std::string ERASED = "Erase done.\n";

void fill_image_with_pattern() {
    for (std::size_t i = 0; i < IMAGE_SIZE; ++i) flash_image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
}

// The packet stream written out by hand from the same pattern.
std::string expected_stream() {
    std::string stream;
    for (std::uint32_t k = 0; k < PACKETS; ++k) {
        const std::uint32_t address = 0x4000 + 16 * k;
        stream += static_cast<char>(address >> 16);
        stream += static_cast<char>((address >> 8) & 0xFF);
        stream += static_cast<char>(address & 0xFF);
        stream += '\x10';
        for (std::uint32_t i = 0; i < 16; ++i) {
            const std::size_t at = 16 * k + i;
            stream += static_cast<char>(static_cast<std::uint8_t>(at * 7 + (at >> 12)));
        }
    }
    return stream;
}

std::string spinner(unsigned index) {
    return std::string(1, "\\|/-"[index % 4]) + "\b";
}

std::string transfer_spinner() {
    std::string text;
    for (std::uint32_t address = 0x4000; address < 0x100000; address += 16) text += spinner(address >> 8);
    return text;
}

// Console text of the transfer and the final wait, for `final_bytes` bytes read there.
std::string after_handshake(std::size_t final_bytes) {
    std::string text = "Slave request data\r\nstart transfer\t" + transfer_spinner() + "\b done" +
                       "\r\nwriting flash, wait...\t";
    for (std::size_t i = 1; i <= final_bytes / 502; ++i) text += spinner(static_cast<unsigned>(i - 1));
    return text + "Download completed\r\n";
}

// Compares long texts without dumping them: reports the first difference.
::testing::AssertionResult same_text(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                         << ", first difference at " << at << ": got \""
                                         << ::testing::PrintToString(got.substr(at, 24)) << "\" want \""
                                         << ::testing::PrintToString(want.substr(at, 24)) << "\"";
}

struct ExchangeRun {
    ExchangeResult result;
    std::string console;
};

// The exchange as a single download runs it, printing what it prints.
ExchangeRun run(MemoryPort& port) {
    ConsoleCapture capture;
    ProgressDisplay progress("COM7");
    ExchangeConsole console(progress);
    const ExchangeResult result = run_update_exchange(port, loaded_image_window(), console);
    return {result, capture.text()};
}

class UpdateExchange : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fill_image_with_pattern();
        setenv("STBLOAD_PROGRESS", "off", 1);  // a terminal running the tests shows nothing more
        read_environment();
    }
};

}  // namespace

TEST_F(UpdateExchange, WholeDownloadByteForByte) {
    MemoryPort port;
    port.bytes("boot 1.0\n").bytes(PROMPT).empty(5).bytes(ERASING).empty(100).bytes(ERASED);
    const std::size_t handshake = port.pending();
    port.bytes("Data received.\n").bytes(std::string(1200, '.')).bytes("@").bytes("ignored");

    const ExchangeRun got = run(port);
    EXPECT_EQ(got.result, ExchangeResult::Completed);
    EXPECT_TRUE(same_text(got.console, "Slave machine update request\r\nSlave ready\r\n" + after_handshake(1201)));

    ASSERT_EQ(port.written.size(), 1 + PACKETS * 20);
    EXPECT_EQ(port.written[0], 'y');
    EXPECT_TRUE(same_text(port.written.substr(1), expected_stream()));

    // 'y' answers the prompt line; every packet is one write, sent once "Erase done" was read.
    ASSERT_EQ(port.writes.size(), 1 + PACKETS);
    EXPECT_EQ(port.writes[0].input_consumed, std::string("boot 1.0\n").size() + PROMPT.size());
    for (std::size_t i = 1; i < port.writes.size(); ++i) {
        ASSERT_EQ(port.writes[i].size, 20U);
        ASSERT_EQ(port.writes[i].input_consumed, handshake - 105) << "read between packets";
    }
    EXPECT_EQ(port.pending(), 7U) << "read past '@'";
}

TEST_F(UpdateExchange, HandshakeLinesAreMatchedAsTheLoaderSendsThem) {
    const struct {
        const char* name;
        std::string input;
        std::size_t ys;
        std::string console;
    } cases[] = {
        {"erase done first", ERASED, 0, ""},
        {"prompt in other text, twice", "xx want to update xx\r\nwant to update\n" + ERASED, 2,
         "Slave machine update request\r\nSlave machine update request\r\n"},
        {"erasing twice", ERASING + ERASING + ERASED, 0, "Slave ready\r\nSlave ready\r\n"},
        {"CR before LF does not match", "Erasing flash,please wait.\r\nErase done.\r\n" + ERASED, 0, ""},
        {"case matters", "Want to update\nerase done.\n" + ERASED, 0, ""},
        {"noise, NULs and an over-long line", std::string("\0\0junk\n", 7) + std::string(600, 'z') + "\n" +
                                                  std::string("Era\0se done.\n", 13),
         0, ""},
    };
    for (const auto& c : cases) {
        MemoryPort port;
        port.bytes(c.input).bytes("confirm\n@");
        const ExchangeRun got = run(port);
        EXPECT_EQ(got.result, ExchangeResult::Completed) << c.name;
        EXPECT_TRUE(same_text(got.console, c.console + after_handshake(1))) << c.name;
        EXPECT_EQ(port.written.size(), c.ys + PACKETS * 20) << c.name;
        EXPECT_EQ(port.written.substr(0, c.ys), std::string(c.ys, 'y')) << c.name;
        // Nothing but the answers goes out before the real "Erase done.\n" has been read.
        ASSERT_GT(port.writes.size(), c.ys) << c.name;
        EXPECT_EQ(port.writes[c.ys].input_consumed, c.input.size()) << c.name << ": the transfer started early";
    }
}

TEST_F(UpdateExchange, FinalWaitCountsBytesUntilTheEndMarker) {
    const struct {
        const char* name;
        std::string after_erase;
        std::size_t final_bytes;  // bytes read in the final wait, '@' included
    } cases[] = {
        {"at once", "ok\n@", 1},
        {"'@' in the confirmation line does not count", "o@k\n..@", 3},
        {"confirmation line cut at 255 characters", std::string(255, 'c') + "@", 1},
        {"'@' as the 502nd byte turns the spinner first", "ok\n" + std::string(501, '.') + "@", 502},
        {"one byte short of that", "ok\n" + std::string(500, '.') + "@", 501},
        {"many turns", "ok\n" + std::string(5020, '.') + "@", 5021},
    };
    for (const auto& c : cases) {
        MemoryPort port;
        port.bytes(ERASED).bytes(c.after_erase);
        const ExchangeRun got = run(port);
        EXPECT_EQ(got.result, ExchangeResult::Completed) << c.name;
        EXPECT_TRUE(same_text(got.console, after_handshake(c.final_bytes))) << c.name;
        EXPECT_EQ(port.pending(), 0U) << c.name;
    }
}

TEST_F(UpdateExchange, LostDeviceEndsEveryState) {
    const std::string sent = "Slave request data\r\nstart transfer\t";
    const struct {
        const char* name;
        std::string input;
        std::size_t write_limit;
        std::string console;
        std::size_t written;
    } cases[] = {
        {"waiting for the loader", PROMPT + "Erasing", SIZE_MAX, "Slave machine update request\r\n", 1},
        {"when answering", PROMPT, 0, "", 0},
        {"first packet", ERASED, 19, sent + spinner(0x40), 0},
        {"middle packet", ERASED, 20 * 30000, sent + transfer_spinner().substr(0, 2 * 30001), 20 * 30000},
        {"middle of a spinner turn", ERASED, 20 * 30005, sent + transfer_spinner().substr(0, 2 * 30006),
         20 * 30005},
        {"last packet", ERASED, 20 * PACKETS - 1, sent + transfer_spinner(), 20 * (PACKETS - 1)},
        {"confirmation line", ERASED + "Data rec", SIZE_MAX, sent + transfer_spinner() + "\b done", 20 * PACKETS},
        {"final wait", ERASED + "ok\n" + std::string(1100, '.'), SIZE_MAX,
         sent + transfer_spinner() + "\b done\r\nwriting flash, wait...\t" + spinner(0) + spinner(1), 20 * PACKETS},
    };
    for (const auto& c : cases) {
        MemoryPort port;
        port.bytes(c.input).lost().bytes("never read\n@").lose_after_writing(c.write_limit);
        const ExchangeRun got = run(port);
        EXPECT_EQ(got.result, ExchangeResult::Lost) << c.name;
        EXPECT_TRUE(same_text(got.console, c.console)) << c.name;
        EXPECT_EQ(port.written.size(), c.written) << c.name;
    }
}

TEST_F(UpdateExchange, PacketThatCannotBeWrittenEndsTheDownload) {
    // A failed answer to the prompt is harmless (the loader asks again); a
    // packet that did not go out would leave a hole in the flash.
    MemoryPort answer_fails;
    answer_fails.bytes(PROMPT).bytes(PROMPT).bytes(ERASED).bytes("ok\n@").fail_write(0);
    EXPECT_EQ(run(answer_fails).result, ExchangeResult::Completed);
    EXPECT_EQ(answer_fails.written.size(), 1 + PACKETS * 20);

    MemoryPort packet_fails;
    packet_fails.bytes(ERASED).bytes("ok\n@").fail_write(1000);
    const ExchangeRun got = run(packet_fails);
    EXPECT_EQ(got.result, ExchangeResult::Lost);
    EXPECT_TRUE(same_text(got.console, "Slave request data\r\nstart transfer\t" + transfer_spinner().substr(0, 2 * 1001)));
    EXPECT_EQ(packet_fails.written.size(), 20U * 1000);
}

TEST_F(UpdateExchange, FailedReadsAreRetried) {
    MemoryPort port;
    port.failure().bytes(ERASED.substr(0, 4)).failure().bytes(ERASED).failure().bytes("ok\n").failure().bytes("@");
    const ExchangeRun got = run(port);
    EXPECT_EQ(got.result, ExchangeResult::Completed);
    EXPECT_TRUE(same_text(got.console, after_handshake(1)));
}

TEST(DataPacket, CarriesTheBigEndianAddressAndSixteenBytes) {
    std::uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    DataPacket packet{};
    fill_data_packet(packet, 0x0FFFF0, data);
    const std::uint8_t expected[20] = {0x0F, 0xFF, 0xF0, 0x10, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                                       0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    EXPECT_EQ(0, std::memcmp(packet.bytes, expected, 20));
    fill_data_packet(packet, 0x12345678, data);
    EXPECT_EQ(packet.bytes[0], 0x34) << "bits 24-31 are not sent";
}
