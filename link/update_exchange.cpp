#include "link/update_exchange.h"

#include <cstring>

#include "console/clock.h"
#include "link/device_line.h"

namespace {

constexpr std::uint8_t UPDATE_ANSWER = 'y';
constexpr unsigned BYTES_PER_WRITE_SPIN = 500;  // the spinner turns once every 502 bytes

// A box that is always answered and sent one image.
class FixedImage final : public ExchangeSource {
public:
    explicit FixedImage(const ImageWindow& image) : image_(image) {}
    UpdateAnswer update_requested() override { return UpdateAnswer::Answer; }
    const ImageWindow* transfer_image() override { return &image_; }

private:
    ImageWindow image_;
};

enum class Waited { EraseDone, Lost, Refused };

// A held update request, asked about again while the box stays quiet.
class HeldRequest final : public LineWatch {
public:
    explicit HeldRequest(ExchangeSource& source) : source_(source) {}
    bool give_up(bool heard) override {
        if (heard) return false;  // the box speaks: its line decides
        answer_ = source_.held_request();
        return answer_ != UpdateAnswer::Hold;
    }
    UpdateAnswer answer() const { return answer_; }

private:
    ExchangeSource& source_;
    UpdateAnswer answer_ = UpdateAnswer::Hold;
};

// Ends a wait once a moment has passed, whatever the box says meanwhile.
class Deadline final : public LineWatch {
public:
    explicit Deadline(double at) : at_(at) {}
    bool give_up(bool /*heard*/) override { return passed(); }
    bool passed() const { return at_ > 0 && monotonic_seconds() >= at_; }

private:
    double at_;  // monotonic seconds; 0: never
};

// The answer 'y'. False if the device is lost.
bool answer_box(PortIo& port, ExchangeObserver& observer) {
    const PortWrite answered = port.write(&UPDATE_ANSWER, 1);
    if (answered == PortWrite::Lost) return false;
    observer.answered(answered == PortWrite::Written);
    return true;
}

// Waits for the loader's messages until "Erase done.\n". A request that the
// source holds is answered later, if the source says so while the box has
// sent nothing since; any line from the box ends the hold.
Waited wait_for_erase_done(PortIo& port, ExchangeSource& source, ExchangeObserver& observer) {
    char line[DEVICE_LINE_MAX];
    unsigned long dropped = 0;  // reads that gave no line
    HeldRequest held_request(source);
    bool held = false;
    for (;;) {
        const DeviceLine got = read_device_line(port, line, held ? &held_request : nullptr);
        if (got == DeviceLine::Lost) return Waited::Lost;
        if (got == DeviceLine::GivenUp) {
            held = false;
            if (held_request.answer() == UpdateAnswer::Refuse) return Waited::Refused;
            if (!answer_box(port, observer)) return Waited::Lost;
            continue;
        }
        held = false;
        if (got != DeviceLine::Delivered) {
            ++dropped;
            continue;
        }
        if (dropped > 0) observer.lines_dropped(dropped);
        dropped = 0;

        if (std::strstr(line, "want to update") != nullptr) {
            observer.box_line(line, BoxLine::UpdateRequest);
            const UpdateAnswer answer = source.update_requested();
            if (answer == UpdateAnswer::Refuse) return Waited::Refused;
            if (answer == UpdateAnswer::Hold) {
                held = true;
                continue;
            }
            if (!answer_box(port, observer)) return Waited::Lost;
        } else if (std::strcmp(line, "Erasing flash,please wait.\n") == 0) {
            observer.box_line(line, BoxLine::EraseStarted);
        } else if (std::strcmp(line, "Erase done.\n") == 0) {
            observer.box_line(line, BoxLine::EraseDone);
            return Waited::EraseDone;
        } else {
            observer.box_line(line, BoxLine::Other);
        }
    }
}

// Streams the transferred part of the image, one packet per write, with no
// acknowledgement from the device. Returns false if the device is lost, or if
// a packet could not be written: the device would flash the stream with a
// hole in it, so the download cannot go on as if it had been sent.
bool send_image(PortIo& port, const ImageWindow& image, ExchangeObserver& observer) {
    DataPacket packet{};
    // A box's own chunks replace the shared image's, in order: one compare a packet.
    const PatchedChunk* patch = image.patched;
    const PatchedChunk* const patch_end = image.patched + image.patched_count;
    std::uint32_t next_patched = patch != patch_end ? patch->index : PACKET_COUNT;
    observer.transfer_started(PACKET_COUNT);
    for (std::uint32_t k = 0; k < PACKET_COUNT; ++k) {
        const std::uint32_t offset = k * PACKET_DATA_BYTES;
        const std::uint8_t* data = image.bytes + offset;
        if (k == next_patched) {
            data = (patch++)->data;
            next_patched = patch != patch_end ? patch->index : PACKET_COUNT;
        }
        fill_data_packet(packet, IMAGE_BASE + offset, data);
        if (k % PACKETS_PER_REPORT == 0) observer.transfer_progress(k);
        if (port.write(packet.bytes, sizeof packet.bytes) != PortWrite::Written) {
            observer.transfer_ended(k, false);
            return false;
        }
    }
    observer.transfer_ended(PACKET_COUNT, true);
    return true;
}

// Counts the device's bytes while it writes its flash, until DONE_MARKER.
ExchangeResult wait_for_done_marker(PortIo& port, ExchangeObserver& observer, const Deadline& deadline) {
    unsigned counter = 0;
    unsigned turn = 0;
    unsigned long bytes = 0;  // '@' included
    for (;;) {
        std::uint8_t byte = 0;
        const PortRead got = port.read_byte(byte);
        if (got == PortRead::Lost) return ExchangeResult::Lost;
        if (got == PortRead::Byte) {
            ++bytes;
            if (counter > BYTES_PER_WRITE_SPIN) {
                observer.flash_turn(turn++);
                counter = 0;
            } else {
                ++counter;
            }
        }
        observer.flash_waiting(bytes);
        if (got == PortRead::Byte && byte == DONE_MARKER) return ExchangeResult::Completed;
        if (deadline.passed()) return ExchangeResult::TimedOut;
    }
}

ExchangeResult exchange(PortIo& port, ExchangeSource& source, ExchangeObserver& observer,
                        const ExchangeLimits& limits) {
    const Waited waited = wait_for_erase_done(port, source, observer);
    if (waited != Waited::EraseDone) return waited == Waited::Lost ? ExchangeResult::Lost : ExchangeResult::Refused;
    const ImageWindow* image = source.transfer_image();
    if (image == nullptr) return ExchangeResult::Refused;
    if (!send_image(port, *image, observer)) return ExchangeResult::Lost;

    // The device's confirmation line; its content does not matter.
    Deadline deadline(limits.flash_write_max_s > 0 ? monotonic_seconds() + limits.flash_write_max_s : 0);
    char line[DEVICE_LINE_MAX];
    const DeviceLine confirmation = read_device_line(port, line, limits.flash_write_max_s > 0 ? &deadline : nullptr);
    if (confirmation == DeviceLine::Lost) return ExchangeResult::Lost;
    if (confirmation == DeviceLine::GivenUp) return ExchangeResult::TimedOut;
    observer.confirmation(confirmation == DeviceLine::Delivered ? line : nullptr);

    return wait_for_done_marker(port, observer, deadline);
}

}  // namespace

void fill_data_packet(DataPacket& packet, std::uint32_t address, const std::uint8_t* data) {
    packet.bytes[0] = static_cast<std::uint8_t>(address >> 16);
    packet.bytes[1] = static_cast<std::uint8_t>(address >> 8);
    packet.bytes[2] = static_cast<std::uint8_t>(address);
    packet.bytes[3] = static_cast<std::uint8_t>(PACKET_DATA_BYTES);
    std::memcpy(packet.bytes + 4, data, PACKET_DATA_BYTES);
}

ExchangeResult run_update_exchange(PortIo& port, ExchangeSource& source, ExchangeObserver& observer,
                                   const ExchangeLimits& limits) {
    const ExchangeResult result = exchange(port, source, observer, limits);
    observer.finished(result);
    return result;
}

ExchangeResult run_update_exchange(PortIo& port, const ImageWindow& image, ExchangeObserver& observer) {
    FixedImage source(image);
    return run_update_exchange(port, source, observer);
}
