// Building packets and handing them to an in-memory port, and the whole
// exchange against an in-memory device.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include <cstdlib>

#include "app/exchange_console.h"
#include "app/progress_display.h"
#include "bench/sample_image.h"
#include "console/console.h"
#include "image/hex_image.h"
#include "link/update_exchange.h"

namespace {

// The device's side of the usual dialogue, as bytes to read.
const std::string& device_text() {
    static const std::string text = std::string("\r\nSTB loader 1.2\r\nwant to update? (y/n)\n") +
                                    "Erasing flash,please wait.\n" + "Erase done.\n" + "Data received.\n" +
                                    std::string(1200, '.') + "@";
    return text;
}

// A port that plays device_text() and keeps only the last write; past its end
// the device reads as lost.
class BenchPort final : public PortIo {
public:
    PortRead read_byte(std::uint8_t& byte) override {
        if (read_pos_ == text_.size()) return PortRead::Lost;
        byte = static_cast<std::uint8_t>(text_[read_pos_++]);
        return PortRead::Byte;
    }

    PortWrite write(const std::uint8_t* data, std::size_t size) override {
        const std::size_t n = size < sizeof last_ ? size : sizeof last_;
        std::memcpy(last_, data, n);
        written_ += size;
        return PortWrite::Written;
    }

    std::size_t written() const { return written_; }

private:
    const std::string& text_ = device_text();
    std::size_t read_pos_ = 0;
    std::size_t written_ = 0;
    std::uint8_t last_[PACKET_SIZE] = {};
};

std::size_t console_bytes = 0;

void count_console(void*, const char*, std::size_t size) {
    console_bytes += size;
}

void load_sample_image() {
    static std::uint8_t image[SAMPLE_IMAGE_SIZE];
    fill_sample_image(image);
    std::memset(flash_image, 0xFF, IMAGE_SIZE);
    std::memcpy(flash_image, image + IMAGE_BASE, TRANSFER_LENGTH);
}

void BM_BuildPacket(benchmark::State& state) {
    load_sample_image();
    DataPacket packet{};
    std::uint32_t offset = 0;
    for (auto _ : state) {
        fill_data_packet(packet, IMAGE_BASE + offset, flash_image + offset);
        benchmark::DoNotOptimize(packet);
        offset = (offset + PACKET_DATA_BYTES) % TRANSFER_LENGTH;
    }
}
BENCHMARK(BM_BuildPacket);

// Building a packet and handing it to the in-memory port, through the PortIo
// interface as the exchange does.
void BM_SendPacket(benchmark::State& state) {
    load_sample_image();
    BenchPort port;
    PortIo* io = &port;
    benchmark::DoNotOptimize(io);  // keeps the call virtual, as in the tool
    DataPacket packet{};
    std::uint32_t offset = 0;
    for (auto _ : state) {
        fill_data_packet(packet, IMAGE_BASE + offset, flash_image + offset);
        io->write(packet.bytes, sizeof packet.bytes);
        offset = (offset + PACKET_DATA_BYTES) % TRANSFER_LENGTH;
    }
    if (port.written() != static_cast<std::size_t>(state.iterations()) * PACKET_SIZE) state.SkipWithError("short");
}
BENCHMARK(BM_SendPacket);

// One turn of the spinner, formatted into a counting console sink.
void BM_ShowSpinner(benchmark::State& state) {
    console_capture(count_console, nullptr);
    unsigned n = 0;
    for (auto _ : state) show_spinner(n++);
    console_capture(nullptr, nullptr);
}
BENCHMARK(BM_ShowSpinner);

// The whole exchange, handshake to the device's end byte: all 64,512 packets
// built, written to the in-memory port, with the spinner's text going to a
// counting console sink, as a single download prints it.
void BM_WholeExchangeInMemory(benchmark::State& state) {
    load_sample_image();
    setenv("STBLOAD_PROGRESS", "off", 1);
    console_capture(count_console, nullptr);
    for (auto _ : state) {
        BenchPort port;
        ProgressDisplay progress("COM7");
        ExchangeConsole console(progress);
        if (run_update_exchange(port, loaded_image_window(), console) != ExchangeResult::Completed ||
            port.written() != 1 + std::size_t{PACKET_COUNT} * PACKET_SIZE) {
            state.SkipWithError("exchange did not complete");
        }
    }
    console_capture(nullptr, nullptr);
    state.counters["packets/s"] = benchmark::Counter(PACKET_COUNT, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WholeExchangeInMemory)->Unit(benchmark::kMillisecond);

}  // namespace
