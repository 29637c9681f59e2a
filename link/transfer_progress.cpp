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
    double rate = LINK_BYTES_PER_SECOND;
    if (elapsed >= MEASURED_AFTER_S && sent > 0) {
        figures.bytes_per_second = wire_sent / elapsed;
        rate = figures.bytes_per_second;
    }
    figures.seconds_left = wire_left / rate;
    return figures;
}
