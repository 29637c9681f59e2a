#include "link/transfer_progress.h"

#include <cstdio>

#include "link/update_exchange.h"

namespace {

// Before this, the rate seen is mostly the port's buffer filling, not the line.
constexpr double MEASURED_AFTER_S = 2.0;

}  // namespace

TransferFigures transfer_figures(std::uint32_t sent, std::uint32_t total, double elapsed) {
    const std::uint64_t image_sent = std::uint64_t{sent} * PACKET_DATA_BYTES;
    const std::uint64_t image_total = std::uint64_t{total} * PACKET_DATA_BYTES;
    TransferFigures figures{total == 0 ? 100U : static_cast<unsigned>(std::uint64_t{sent} * 100 / total),
                            static_cast<unsigned>(image_sent / 1024), static_cast<unsigned>(image_total / 1024), 0.0,
                            0.0};
    const double wire_sent = static_cast<double>(sent) * PACKET_SIZE;
    const double wire_left = static_cast<double>(total - sent) * PACKET_SIZE;
    double rate = LINE_BYTES_PER_SECOND;
    if (elapsed >= MEASURED_AFTER_S && sent > 0) {
        figures.bytes_per_second = wire_sent / elapsed;
        rate = figures.bytes_per_second;
    }
    figures.seconds_left = wire_left / rate;
    return figures;
}

void format_duration(double seconds, char* text, std::size_t size) {
    const auto whole = static_cast<unsigned long>(seconds < 0 ? 0 : seconds + 0.5);
    if (whole >= 3600) {
        std::snprintf(text, size, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, size, "%lu:%02lu", whole / 60, whole % 60);
    }
}

void format_thousands(unsigned long long value, char* text, std::size_t size) {
    char digits[32];
    const int n = std::snprintf(digits, sizeof digits, "%llu", value);
    std::size_t out = 0;
    for (int i = 0; i < n && out + 1 < size; ++i) {
        if (i > 0 && (n - i) % 3 == 0 && out + 2 < size) text[out++] = ',';
        text[out++] = digits[i];
    }
    if (size > 0) text[out < size ? out : size - 1] = '\0';
}
