#include "link/serial_port.h"

#include <cstdio>
#include <windows.h>

const char PORT_HELP[] =
    "PORT is the number of the COM port: 3 for COM3. Device Manager lists the ports\r\n"
    "under \"Ports (COM & LPT)\". Example: stbload 12 firmware.hex\r\n";
const char PORT_ENVIRONMENT_HELP[] = "";

namespace {

// While reads come back empty, the link is checked once per this many reads
// (about a quarter of a second): a port whose device has gone may keep
// returning empty reads instead of failing.
constexpr unsigned QUIET_READS_PER_CHECK = 25;

// A write that fails while the device is still there (a line error, which
// the check clears) is tried again, up to this many times in a row.
constexpr int WRITE_TRIES = 10;

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

// Failing calls are retried by the callers; this keeps that from spinning.
void pause_after_failure() {
    Sleep(READ_INTERVAL_MS);
}

// Clears a pending line error (framing, overrun, parity, break), which also
// lifts the abort-on-error state a driver may have entered. Fails only when
// the device behind the handle is gone.
bool line_alive(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(port, &errors, &status) != FALSE;
}

// Milliseconds on a monotonic clock, with sub-millisecond resolution.
double now_ms() {
    static const LONGLONG ticks_per_second = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart;
    }();
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    return static_cast<double>(ticks.QuadPart) * 1000.0 / static_cast<double>(ticks_per_second);
}

// 115200 8N1 with RTS on. Everything else in the DCB (flow control, XON/XOFF,
// special characters) stays as the driver reports it.
bool apply_line_settings(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return false;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb)) return false;

    // A one-byte read returns as soon as the byte is there, or empty after
    // READ_INTERVAL_MS. The write time-outs stay as the driver has them.
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port, &timeouts)) return false;
    timeouts.ReadIntervalTimeout = READ_INTERVAL_MS;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_INTERVAL_MS;
    return SetCommTimeouts(port, &timeouts) != FALSE;
}

}  // namespace

PortOpen open_serial_port(int port_number, SerialPort& port) {
    port.close();
    // The device namespace prefix is what lets COM10 and above open at all;
    // COM1 to COM9 open the same way with it.
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", port_number);

    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return PortOpen::CannotOpen;
    port.handle_ = reinterpret_cast<std::intptr_t>(handle);
    port.quiet_reads_ = 0;
    return apply_line_settings(handle) ? PortOpen::Opened : PortOpen::SettingsRefused;
}

PortRead SerialPort::read_byte(std::uint8_t& byte) {
    HANDLE port = as_handle(handle_);
    const double started = now_ms();
    DWORD got = 0;
    if (!ReadFile(port, &byte, 1, &got, nullptr)) {
        quiet_reads_ = 0;
        if (!line_alive(port)) return PortRead::Lost;
        pause_after_failure();
        return PortRead::Failed;
    }
    if (got == 1) {
        quiet_reads_ = 0;
        return PortRead::Byte;
    }

    if (++quiet_reads_ >= QUIET_READS_PER_CHECK) {
        quiet_reads_ = 0;
        if (!line_alive(port)) return PortRead::Lost;
    }
    // Some drivers answer an empty read at once (a closed link under Wine
    // does): wait out the rest of the interval so that callers do not spin.
    const double left = READ_INTERVAL_MS - (now_ms() - started);
    if (left >= 1.0) Sleep(static_cast<DWORD>(left));
    return PortRead::Empty;
}

PortWrite SerialPort::write(const std::uint8_t* data, std::size_t size) {
    HANDLE port = as_handle(handle_);
    int failures = 0;
    while (size > 0) {
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD put = 0;
        const BOOL ok = WriteFile(port, data, chunk, &put, nullptr);
        data += put;
        size -= put;
        if (put > 0) failures = 0;
        if (ok && put > 0) continue;
        // Failed, or a write time-out passed with nothing taken (flow control
        // holding the line). Either way: is the device still there?
        if (!line_alive(port)) return PortWrite::Lost;
        if (!ok && ++failures >= WRITE_TRIES) return PortWrite::Failed;
        pause_after_failure();
    }
    return PortWrite::Written;
}

void SerialPort::close() {
    if (handle_ == -1) return;
    // Output still queued can never matter once the run is over (the box
    // confirmed the image, or the run failed); a driver whose device has gone
    // would otherwise hold the close until it gave up on it.
    PurgeComm(as_handle(handle_), PURGE_TXABORT | PURGE_TXCLEAR);
    CloseHandle(as_handle(handle_));
    handle_ = -1;
}
