// Building packets and handing them to an in-memory port, and the whole
// exchange against an in-memory device.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>

#include <cstdlib>

#include "app/exchange_console.h"
#include "app/progress_display.h"
#include "bench/sample_image.h"
#include "console/console.h"
#include "console/environment.h"
#include "image/image_window.h"
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
// With `state.range(0)` != 0, the image carries a box's own numbers as a job
// gives them: a serial number across two packets, a MAC address, a key.
void BM_WholeExchangeInMemory(benchmark::State& state) {
    load_sample_image();
    setenv("STBLOAD_PROGRESS", "off", 1);
    read_environment();
    ImageOverlay overlay(loaded_image_window());
    if (state.range(0) != 0) {
        const char serial[] = "STB000000123";
        const std::uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x00, 0x00, 0x07};
        const std::uint8_t key[4] = {1, 2, 3, 4};
        overlay.put(0xFF00A, reinterpret_cast<const std::uint8_t*>(serial), sizeof serial - 1);
        overlay.put(0xFF020, mac, sizeof mac);
        overlay.put(0x80000, key, sizeof key);
    }
    const ImageWindow image = overlay.window();
    console_capture(count_console, nullptr);
    for (auto _ : state) {
        BenchPort port;
        ProgressDisplay progress("COM7");
        ExchangeConsole console(progress);
        if (run_update_exchange(port, image, console) != ExchangeResult::Completed ||
            port.written() != 1 + std::size_t{PACKET_COUNT} * PACKET_SIZE) {
            state.SkipWithError("exchange did not complete");
        }
    }
    console_capture(nullptr, nullptr);
    state.counters["packets/s"] = benchmark::Counter(PACKET_COUNT, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WholeExchangeInMemory)->ArgName("numbers")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// What a box's own numbers cost the exchange: the same exchange with and
// without them, taking turns within each iteration, so that whatever else
// the machine does falls on both alike. The counter is the ratio of their times.
void BM_NumbersCost(benchmark::State& state) {
    load_sample_image();
    setenv("STBLOAD_PROGRESS", "off", 1);
    read_environment();
    ImageOverlay overlay(loaded_image_window());
    const char serial[] = "STB000000123";
    overlay.put(0xFF00A, reinterpret_cast<const std::uint8_t*>(serial), sizeof serial - 1);
    const ImageWindow images[2] = {loaded_image_window(), overlay.window()};
    double seconds[2] = {0, 0};
    console_capture(count_console, nullptr);
    for (auto _ : state) {
        for (int which = 0; which < 2; ++which) {
            const auto start = std::chrono::steady_clock::now();
            BenchPort port;
            ProgressDisplay progress("COM7");
            ExchangeConsole console(progress);
            if (run_update_exchange(port, images[which], console) != ExchangeResult::Completed) {
                state.SkipWithError("exchange did not complete");
            }
            seconds[which] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    console_capture(nullptr, nullptr);
    state.counters["with_over_without"] = seconds[1] / seconds[0];
}
BENCHMARK(BM_NumbersCost)->Unit(benchmark::kMillisecond);

}  // namespace
