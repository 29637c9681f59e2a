// The dialogue with the device's loader: handshake, image stream, final wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/hex_image.h"
#include "image/image_window.h"
#include "link/exchange_observer.h"
#include "link/serial_port.h"

constexpr std::uint32_t PACKET_DATA_BYTES = 16;
constexpr std::size_t PACKET_SIZE = 4 + PACKET_DATA_BYTES;
constexpr std::uint32_t PACKET_COUNT = TRANSFER_LENGTH / PACKET_DATA_BYTES;
constexpr std::size_t STREAM_BYTES = std::size_t{PACKET_COUNT} * PACKET_SIZE;
constexpr std::uint8_t DONE_MARKER = '@';

// One packet on the wire: 24-bit big-endian device address, the data length
// 0x10, then 16 image bytes. No checksum, no framing.
struct DataPacket {
    std::uint8_t bytes[PACKET_SIZE];
};

static_assert(PACKET_DATA_BYTES == WINDOW_CHUNK, "a packet carries one chunk of the window");

// Fills `packet` for device `address` with the 16 bytes at `data`.
void fill_data_packet(DataPacket& packet, std::uint32_t address, const std::uint8_t* data);

// What to do with an update request.
enum class UpdateAnswer {
    Answer,  // send 'y'
    Hold,    // not yet: the request is held while the box says nothing else (see held_request)
    Refuse,  // answer no box: the exchange ends as Refused
};

// What the exchange asks of whoever runs it, at its decisions.
class ExchangeSource {
public:
    // An update request came: whether to answer it.
    virtual UpdateAnswer update_requested() = 0;
    // A held request, while the box has sent nothing since it asked: asked
    // again after each quiet read (about every READ_INTERVAL_MS). Answer
    // sends the 'y' now; anything the box sends ends the hold, and its next
    // request starts afresh.
    virtual UpdateAnswer held_request() { return UpdateAnswer::Hold; }
    // The erase is done: the image to send (valid until the exchange ends),
    // or nullptr to send none, which ends the exchange as Refused.
    virtual const ImageWindow* transfer_image() = 0;

protected:
    ~ExchangeSource() = default;
};

// How long the exchange waits, where the caller sets a limit.
struct ExchangeLimits {
    // From the transfer's end to the end byte (the confirmation line and the
    // flash write); 0: no limit. Past it the exchange ends as TimedOut.
    double flash_write_max_s = 0;
};

// Runs the whole exchange over an open port, asking `source` what to answer
// and send, and reports each step to `observer`. Waits for the device's
// messages and its end byte without limit, but for `limits`.
ExchangeResult run_update_exchange(PortIo& port, ExchangeSource& source, ExchangeObserver& observer,
                                   const ExchangeLimits& limits = ExchangeLimits{});

// The same for a box that is always answered and sent `image`.
ExchangeResult run_update_exchange(PortIo& port, const ImageWindow& image, ExchangeObserver& observer);
