// The image loader on the benchmark image's hex text, read from memory.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/sample_image.h"
#include "image/hex_image.h"

namespace {

// The hex text as a HexSource, handed out without copying.
class TextSource final : public HexSource {
public:
    explicit TextSource(const std::string& text) : text_(text) {}

    long read(std::uint8_t* dst, std::size_t size) override {
        std::size_t n = text_.size() - pos_;
        if (n > size) n = size;
        std::memcpy(dst, text_.data() + pos_, n);
        pos_ += n;
        return static_cast<long>(n);
    }

private:
    const std::string& text_;
    std::size_t pos_ = 0;
};

const std::string& hex_text(std::size_t per_record) {
    static std::uint8_t image[SAMPLE_IMAGE_SIZE];
    static std::string text16;
    static std::string text32;
    std::string& text = per_record == 16 ? text16 : text32;
    if (text.empty()) {
        fill_sample_image(image);
        text = sample_hex_text(image, SAMPLE_IMAGE_SIZE, per_record);
    }
    return text;
}

void set_text_rate(benchmark::State& state, const std::string& text) {
    state.counters["hex_text_MB"] =
        benchmark::Counter(static_cast<double>(text.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["text_bytes"] = static_cast<double>(text.size());
}

// The whole load as a download does it: the 16 MB 0xFF fill included.
void BM_LoadHexImage(benchmark::State& state) {
    const std::string& text = hex_text(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        TextSource source(text);
        if (load_hex_image(source, IMAGE_BASE) != LoadResult::Loaded) state.SkipWithError("image not loaded");
        benchmark::ClobberMemory();
    }
    set_text_rate(state, text);
}
BENCHMARK(BM_LoadHexImage)->ArgName("record_bytes")->Arg(16)->Arg(32)->Unit(benchmark::kMillisecond);

// The same text with every record below the base: lines read and decoded, no
// fill and nothing placed. The parsing share of the load.
void BM_ParseHexNoFill(benchmark::State& state) {
    const std::string& text = hex_text(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        TextSource source(text);
        if (load_hex_image(source, 0xFFFFFFFF) != LoadResult::NothingToDownload) state.SkipWithError("unexpected");
        benchmark::ClobberMemory();
    }
    set_text_rate(state, text);
}
BENCHMARK(BM_ParseHexNoFill)->ArgName("record_bytes")->Arg(16)->Arg(32)->Unit(benchmark::kMillisecond);

// The 0xFF fill of the 16 MB image on its own.
void BM_FillImage(benchmark::State& state) {
    for (auto _ : state) {
        std::memset(flash_image, 0xFF, IMAGE_SIZE);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(IMAGE_SIZE));
}
BENCHMARK(BM_FillImage)->Unit(benchmark::kMillisecond);

}  // namespace
