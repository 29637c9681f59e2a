// The serial port's part that is the same on every platform: opening a port
// by the name the operator gave, and the words for what went wrong.
#include "link/serial_port.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "console/clock.h"

#include "console/system_error.h"
#include "link/port_list.h"

namespace {

// Bytes that came in slower than this since the read before, and fewer than
// half a block, are a line that trickles (115200 baud carries 11,520 a
// second); anything else a flood, which is read as fast as it comes.
constexpr double TRICKLE_BYTES_PER_SECOND = 100000.0;

}  // namespace

PortRead SerialPort::read_byte(std::uint8_t& byte) {
    if (block_next_ == block_fill_) {
        if (cancelled()) {
            problem_ = {PortFault::Cancelled, 0};
            return PortRead::Lost;
        }
        // A line that trickles is read once per TRICKLE_READ_MS: what comes
        // meanwhile gathers in the driver for the next read, instead of a
        // wake-up for every few bytes (a bench of boxes that talk costs 32
        // threads' wake-ups).
        if (next_read_ >= 0) {
            const double wait = next_read_ - monotonic_seconds();
            if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        }
        const double started = monotonic_seconds();
        const double since = last_read_ >= 0 ? started - last_read_ : 1.0;
        last_read_ = started;
        block_next_ = 0;
        block_fill_ = 0;
        const PortRead got = refill();
        const bool trickle = got == PortRead::Byte && block_fill_ < READ_BLOCK / 2 &&
                             static_cast<double>(block_fill_) < since * TRICKLE_BYTES_PER_SECOND;
        next_read_ = trickle ? started + TRICKLE_READ_MS / 1000.0 : -1.0;
        if (got != PortRead::Byte) return got;
    }
    byte = block_[block_next_++];
    return PortRead::Byte;
}

bool SerialPort::stalled_since(double last_progress) {
    if (stall_s_ <= 0 || monotonic_seconds() - last_progress < stall_s_) return false;
    problem_ = {PortFault::Stalled, static_cast<int>(std::lround(stall_s_))};
    return true;
}

void describe_port_problem(const SerialPort& port, char* text, std::size_t size) {
    const PortProblem problem = port.problem();
    if (problem.fault == PortFault::NoAdapter) {
        std::snprintf(text, size, "%s", port.detail());
        return;
    }
    if (describe_platform_port_fault(problem, port.device(), text, size)) return;
    char reason[256];
    describe_system_error(problem.error, reason, sizeof reason);
    switch (problem.fault) {
    case PortFault::NotSerial:
        std::snprintf(text, size, "not a serial port (%s)", reason);
        return;
    case PortFault::SettingsRefused:
        std::snprintf(text, size, "the driver refused 115200 baud 8N1 (%s)", reason);
        return;
    case PortFault::None:
        std::snprintf(text, size, "no problem");
        return;
    case PortFault::Cancelled:
        std::snprintf(text, size, "stopped");
        return;
    case PortFault::Stalled:
        std::snprintf(text, size, "stalled: the box took no data for %d s", problem.error);
        return;
    default:
        std::snprintf(text, size, "%s", reason);
        return;
    }
}

bool find_port_device(const PortName& name, char* device, std::size_t size, PortFault& fault, char* detail,
                      std::size_t detail_size) {
    detail[0] = '\0';
    switch (name.kind) {
    case PortKind::Number:
        if (com_port_device(name.number, device, size)) return true;
        device[0] = '\0';  // a name cut short is no device either
        fault = PortFault::NoDevice;
        return false;
    case PortKind::Device:
        std::snprintf(device, size, "%s", name.text);
        return true;
    case PortKind::UsbSerial:
    case PortKind::UsbLocation:
        if (find_usb_port(name, device, size, detail, detail_size)) return true;
        fault = PortFault::NoAdapter;
        return false;
    }
    return false;
}

PortOpen open_serial_port(const PortName& name, SerialPort& port) {
    port.close();
    port.quiet_reads_ = 0;
    port.next_read_ = -1.0;
    port.last_read_ = -1.0;
    PortFault fault = PortFault::None;
    if (!find_port_device(name, port.device_, sizeof port.device_, fault, port.detail_, sizeof port.detail_)) {
        port.problem_ = {fault, 0};
        return PortOpen::CannotOpen;
    }
    return open_serial_device(port);
}
