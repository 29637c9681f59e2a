#include "link/update_exchange.h"

#include <cstring>

#include "console/console.h"
#include "console/trace.h"
#include "image/hex_image.h"
#include "link/device_line.h"

namespace {

constexpr std::uint8_t UPDATE_ANSWER = 'y';
constexpr std::uint32_t PACKET_COUNT = TRANSFER_LENGTH / PACKET_DATA_BYTES;
constexpr std::size_t STREAM_BYTES = std::size_t{PACKET_COUNT} * PACKET_SIZE;
constexpr unsigned BYTES_PER_WRITE_SPIN = 500;  // the spinner turns once every 502 bytes

// Puts a line from the box into the trace, escaped, with what it meant.
void trace_box_line(const char* line, const char* meaning) {
    if (!tracing()) return;
    char text[4 * DEVICE_LINE_MAX + 8];
    trace_escape(line, std::strlen(line), text, sizeof text);
    trace("box: \"%s\"%s", text, meaning);
}

// Waits for the loader's messages until "Erase done.\n". Returns false if the device is lost.
bool wait_for_erase_done(PortIo& port) {
    char line[DEVICE_LINE_MAX];
    unsigned long dropped = 0;  // reads that gave no line, for the trace
    for (;;) {
        const DeviceLine got = read_device_line(port, line);
        if (got == DeviceLine::Lost) return false;
        if (got != DeviceLine::Delivered) {
            ++dropped;
            continue;
        }
        if (dropped > 0 && tracing()) {
            trace("box: %lu lines dropped (255 characters without a line end, or a failed read)", dropped);
        }
        dropped = 0;

        if (std::strstr(line, "want to update") != nullptr) {
            trace_box_line(line, ", an update request");
            const PortWrite answered = port.write(&UPDATE_ANSWER, 1);
            if (answered == PortWrite::Lost) return false;
            trace(answered == PortWrite::Written ? "sent 'y'" : "sending 'y' failed");
            console_print("Slave machine update request\r\n");
        } else if (std::strcmp(line, "Erasing flash,please wait.\n") == 0) {
            trace_box_line(line, ", the erase started");
            console_print("Slave ready\r\n");
        } else if (std::strcmp(line, "Erase done.\n") == 0) {
            trace_box_line(line, ", the erase ended");
            return true;
        } else {
            trace_box_line(line, "");
        }
    }
}

// The spinner's text during the transfer: one character and a backspace per
// packet. On a terminal every console_print is a write of its own, and 64,512
// two-byte writes would cost the tool more than the packets do. The character
// changes only every 16 packets, and writing it again over itself changes
// nothing on the screen, so the text is gathered here and printed whenever a
// new character appears (and before anything else is printed): the screen shows
// each change at the same moment and the console gets the same bytes.
struct SpinnerText {
    char text[64];
    std::size_t length;
    char shown;  // the character printed last; 0 before the first
};

void print_spinner_text(SpinnerText& spinner) {
    if (spinner.length == 0) return;
    console_print("%.*s", static_cast<int>(spinner.length), spinner.text);
    spinner.length = 0;
}

void add_spinner_step(SpinnerText& spinner, unsigned n) {
    if (spinner.length + 2 > sizeof spinner.text) print_spinner_text(spinner);
    const char c = SPINNER_CHARS[n & 3];
    spinner.text[spinner.length++] = c;
    spinner.text[spinner.length++] = '\b';
    if (c != spinner.shown) {
        print_spinner_text(spinner);
        spinner.shown = c;
    }
}

// Streams the transferred part of the image, one packet per write, with no
// acknowledgement from the device. The spinner turns before each packet, as
// show_spinner() would turn it. Returns false if the device is lost, or if a
// packet could not be written: the device would flash the stream with a hole
// in it, so the download cannot go on as if it had been sent.
bool send_image(PortIo& port) {
    DataPacket packet{};
    SpinnerText spinner{};
    const double started = tracing() ? trace_seconds() : 0.0;
    trace("transfer started: %u packets of %u bytes", PACKET_COUNT, static_cast<unsigned>(PACKET_SIZE));
    for (std::uint32_t offset = 0; offset < TRANSFER_LENGTH; offset += PACKET_DATA_BYTES) {
        const std::uint32_t address = IMAGE_BASE + offset;
        fill_data_packet(packet, address, flash_image + offset);
        add_spinner_step(spinner, address >> 8);
        if (port.write(packet.bytes, sizeof packet.bytes) != PortWrite::Written) {
            print_spinner_text(spinner);
            trace("transfer stopped: packet %u (address 0x%05X) could not be sent", offset / PACKET_DATA_BYTES,
                  address);
            return false;
        }
    }
    print_spinner_text(spinner);
    if (tracing()) {
        const double seconds = trace_seconds() - started;
        const auto bytes = static_cast<double>(STREAM_BYTES);
        trace("transfer done: %u packets, %.0f bytes in %.3f s, %.0f bytes/s", PACKET_COUNT, bytes, seconds,
              seconds > 0 ? bytes / seconds : 0.0);
    }
    return true;
}

// Counts the device's bytes while it writes its flash, until DONE_MARKER.
// Returns false if the device is lost.
bool wait_for_done_marker(PortIo& port) {
    unsigned counter = 0;
    unsigned spin = 0;
    unsigned long bytes_counted = 0;  // for the trace, '@' included
    for (;;) {
        std::uint8_t byte = 0;
        const PortRead got = port.read_byte(byte);
        if (got == PortRead::Lost) {
            trace("box: %lu bytes counted while the flash was written, then the connection was lost", bytes_counted);
            return false;
        }
        if (got != PortRead::Byte) continue;
        ++bytes_counted;
        if (counter > BYTES_PER_WRITE_SPIN) {
            show_spinner(spin++);
            counter = 0;
        } else {
            ++counter;
        }
        if (byte == DONE_MARKER) {
            trace("box: '@' after %lu bytes, the flash is written", bytes_counted);
            return true;
        }
    }
}

}  // namespace

void fill_data_packet(DataPacket& packet, std::uint32_t address, const std::uint8_t* data) {
    packet.bytes[0] = static_cast<std::uint8_t>(address >> 16);
    packet.bytes[1] = static_cast<std::uint8_t>(address >> 8);
    packet.bytes[2] = static_cast<std::uint8_t>(address);
    packet.bytes[3] = static_cast<std::uint8_t>(PACKET_DATA_BYTES);
    std::memcpy(packet.bytes + 4, data, PACKET_DATA_BYTES);
}

void show_spinner(unsigned n) {
    console_print("%c\b", SPINNER_CHARS[n & 3]);
}

ExchangeResult run_update_exchange(PortIo& port) {
    if (!wait_for_erase_done(port)) return ExchangeResult::Lost;

    console_print("Slave request data\r\n");
    console_print("start transfer\t");
    if (!send_image(port)) return ExchangeResult::Lost;
    console_print("\b done");

    // The device's confirmation line; its content does not matter.
    char line[DEVICE_LINE_MAX];
    const DeviceLine confirmation = read_device_line(port, line);
    if (confirmation == DeviceLine::Lost) return ExchangeResult::Lost;
    if (confirmation == DeviceLine::Delivered) {
        trace_box_line(line, ", the confirmation");
    } else {
        trace("box: no confirmation line (255 characters without a line end, or a failed read)");
    }

    console_print("\r\nwriting flash, wait...\t");
    if (!wait_for_done_marker(port)) return ExchangeResult::Lost;
    console_print("Download completed\r\n");
    return ExchangeResult::Completed;
}
