// bench_make_hex: writes the benchmark image as an Intel HEX file.
// usage: bench_make_hex RECORD_BYTES OUT.hex

#include <cstdio>
#include <cstdlib>

#include "bench/sample_image.h"

namespace {

std::uint8_t image[SAMPLE_IMAGE_SIZE];

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_make_hex RECORD_BYTES OUT.hex\n");
        return 2;
    }
    const long per_record = std::strtol(argv[1], nullptr, 10);
    if (per_record < 1 || per_record > 255) {
        std::fprintf(stderr, "bench_make_hex: RECORD_BYTES must be 1-255\n");
        return 2;
    }
    fill_sample_image(image);
    const std::string text = sample_hex_text(image, SAMPLE_IMAGE_SIZE, static_cast<std::size_t>(per_record));
    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fclose(out) != 0) {
        std::fprintf(stderr, "bench_make_hex: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
