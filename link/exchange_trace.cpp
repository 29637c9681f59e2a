#include "link/exchange_trace.h"

#include <cstring>

#include "console/clock.h"
#include "console/trace.h"
#include "link/device_line.h"
#include "link/update_exchange.h"

namespace {

// Puts a line from the box into the trace, escaped, with what it meant.
void trace_box_line(const char* line, const char* meaning) {
    if (!tracing()) return;
    char text[4 * DEVICE_LINE_MAX + 8];
    trace_escape(line, std::strlen(line), text, sizeof text);
    trace("box: \"%s\"%s", text, meaning);
}

}  // namespace

void ExchangeTrace::box_line(const char* line, BoxLine meaning) {
    switch (meaning) {
    case BoxLine::UpdateRequest: trace_box_line(line, ", an update request"); return;
    case BoxLine::EraseStarted: trace_box_line(line, ", the erase started"); return;
    case BoxLine::EraseDone: trace_box_line(line, ", the erase ended"); return;
    case BoxLine::Other: trace_box_line(line, ""); return;
    }
}

void ExchangeTrace::lines_dropped(unsigned long count) {
    trace("box: %lu lines dropped (255 characters without a line end, or a failed read)", count);
}

void ExchangeTrace::answered(bool written) {
    trace(written ? "sent 'y'" : "sending 'y' failed");
}

void ExchangeTrace::transfer_started(std::uint32_t packets) {
    if (!tracing()) return;
    transfer_start_ = monotonic_seconds();
    trace("transfer started: %u packets of %u bytes", packets, static_cast<unsigned>(PACKET_SIZE));
}

void ExchangeTrace::transfer_ended(std::uint32_t sent, bool complete) {
    if (!tracing()) return;
    if (!complete) {
        trace("transfer stopped: packet %u (address 0x%05X) could not be sent", sent,
              IMAGE_BASE + sent * PACKET_DATA_BYTES);
        return;
    }
    const double seconds = monotonic_seconds() - transfer_start_;
    const auto bytes = static_cast<double>(sent) * PACKET_SIZE;
    trace("transfer done: %u packets, %.0f bytes in %.3f s, %.0f bytes/s", sent, bytes, seconds,
          seconds > 0 ? bytes / seconds : 0.0);
}

void ExchangeTrace::confirmation(const char* line) {
    flash_wait_ = true;
    if (line != nullptr) {
        trace_box_line(line, ", the confirmation");
    } else {
        trace("box: no confirmation line (255 characters without a line end, or a failed read)");
    }
}

void ExchangeTrace::finished(ExchangeResult result) {
    if (result == ExchangeResult::Completed) {
        trace("box: '@' after %lu bytes, the flash is written", flash_bytes_);
    } else if (flash_wait_) {
        trace("box: %lu bytes counted while the flash was written, then the connection was lost", flash_bytes_);
    }
}
