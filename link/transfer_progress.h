// Where a transfer stands, in the figures a person reads: the share sent,
// KiB of image sent, and the time left at the rate measured so far.
#pragma once

#include <cstddef>
#include <cstdint>

// The rate of 115200 baud 8N1: ten bit times per byte.
constexpr double LINK_BYTES_PER_SECOND = 115200.0 / 10.0;

struct TransferFigures {
    unsigned percent;     // of the image bytes, 0-100
    unsigned kib_sent;    // KiB of image bytes sent
    unsigned kib_total;   // KiB of image bytes in all: 1008
    double seconds_left;  // at the rate measured so far, or at the line's rate until that is known
    double bytes_per_second;  // on the wire, as measured (0 until known)
};

// `sent` of `total` packets have gone out in `elapsed` seconds.
TransferFigures transfer_figures(std::uint32_t sent, std::uint32_t total, double elapsed);
