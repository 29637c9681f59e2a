#include "link/serial_port.h"

#include <cstdio>
#include <windows.h>

#include "console/clock.h"


const char PORT_HELP[] =
    "PORT is a COM port (3 or COM3), a device (\\\\.\\CNCA0), or a USB adapter by its\r\n"
    "serial number or its place: usb:SERIAL, usb@LOCATION. Example: stbload 12 fw.hex\r\n";
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

PortProblem failure(PortFault fault, DWORD error) {
    return {fault, static_cast<int>(error)};
}

// Clears a pending line error (framing, overrun, parity, break), which also
// lifts the abort-on-error state a driver may have entered. Fails only when
// the device behind the handle is gone.
bool port_alive(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(port, &errors, &status) != FALSE;
}

// ERROR_NO_SUCH_DEVICE, which not every SDK's headers name.
constexpr DWORD NO_SUCH_DEVICE = 433;

// What a failed ReadFile or WriteFile means: Lost when the device is gone,
// otherwise a line error that is cleared (which also ends a driver's abort
// state, ERROR_OPERATION_ABORTED) so the caller can retry.
bool failure_is_loss(HANDLE port, DWORD error) {
    if (classify_port_error(static_cast<int>(error)) == PortError::Lost) return true;
    return !port_alive(port);
}

// Why CreateFile failed, as the operator can act on it. A port that another
// program holds answers "access denied".
PortProblem open_failure(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return failure(PortFault::NotFound, error);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return failure(PortFault::Busy, error);
    default: return failure(PortFault::Failed, error);
    }
}

// Ends an overlapped ReadFile or WriteFile that `started` began as a
// synchronous call would end, but for a cancel: it waits for the call or for
// the token's event (or, given, `most_ms`), and a call given up ends with
// ERROR_OPERATION_ABORTED or with what it did so far. The port is opened for
// overlapped calls only so that a write held by flow control can be let go
// of; everything else behaves as synchronous I/O.
bool finish_call(HANDLE port, OVERLAPPED& call, BOOL started, DWORD& done, const CancelToken* cancel,
                 DWORD most_ms = INFINITE) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    if (!started) {
        HANDLE waits[2] = {call.hEvent, cancel != nullptr ? as_handle(cancel->event()) : nullptr};
        const DWORD count = waits[1] != nullptr ? 2 : 1;
        if (WaitForMultipleObjects(count, waits, FALSE, most_ms) != WAIT_OBJECT_0) CancelIoEx(port, &call);
    }
    return GetOverlappedResult(port, &call, &done, TRUE) != FALSE;
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
PortProblem apply_port_settings(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return failure(PortFault::NotSerial, GetLastError());
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb)) return failure(PortFault::SettingsRefused, GetLastError());

    // A read returns what has arrived within READ_INTERVAL_MS (at once when
    // a whole block is there), or empty after it. The write time-outs stay as
    // the driver has them.
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port, &timeouts)) return failure(PortFault::SettingsRefused, GetLastError());
    timeouts.ReadIntervalTimeout = READ_INTERVAL_MS;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_INTERVAL_MS;
    if (!SetCommTimeouts(port, &timeouts)) return failure(PortFault::SettingsRefused, GetLastError());
    return failure(PortFault::None, 0);
}

}  // namespace

PortError classify_port_error(int code) {
    switch (static_cast<DWORD>(code)) {
    // A driver in its abort-on-error state refuses every call until the
    // error is cleared; the callers clear it and try again.
    case ERROR_OPERATION_ABORTED:
        return PortError::Retry;
    // The device itself is gone: a USB adapter pulled out, a driver that
    // has let go of the port.
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case NO_SUCH_DEVICE:
        return PortError::Lost;
    default:
        return PortError::Failed;
    }
}

bool com_port_device(int number, char* device, std::size_t size) {
    // The device namespace prefix is what lets COM10 and above open at all;
    // COM1 to COM9 open the same way with it.
    std::snprintf(device, size, "\\\\.\\COM%d", number);
    return true;
}

void canonical_device(const char* device, char* text, std::size_t size) {
    std::size_t n = 0;
    for (; device[n] != '\0' && n + 1 < size; ++n) {
        const char c = device[n];
        text[n] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (size > 0) text[n] = '\0';
}

PortOpen open_serial_device(SerialPort& port) {
    HANDLE handle = CreateFileA(port.device_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        port.problem_ = open_failure(GetLastError());
        return PortOpen::CannotOpen;
    }
    port.handle_ = reinterpret_cast<std::intptr_t>(handle);
    port.io_event_ = reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    port.problem_ = apply_port_settings(handle);
    return port.problem_.fault == PortFault::None ? PortOpen::Opened : PortOpen::SettingsRefused;
}

PortRead SerialPort::refill() {
    HANDLE port = as_handle(handle_);
    const double started = now_ms();
    DWORD got = 0;
    // With the time-outs set at open, a read returns what has arrived, up to
    // the block, after at most about READ_INTERVAL_MS.
    OVERLAPPED call{};
    call.hEvent = as_handle(io_event_);
    const BOOL ok =
        finish_call(port, call, ReadFile(port, block_, static_cast<DWORD>(sizeof block_), nullptr, &call), got, cancel_);
    if (!ok) {
        const DWORD error = GetLastError();
        quiet_reads_ = 0;
        problem_ = failure(PortFault::Failed, error);
        if (cancelled()) {
            problem_ = failure(PortFault::Cancelled, 0);
            return PortRead::Lost;
        }
        if (failure_is_loss(port, error)) return PortRead::Lost;
        pause_after_failure();
        return PortRead::Failed;
    }
    if (got > 0) {
        quiet_reads_ = 0;
        block_fill_ = got;
        return PortRead::Byte;
    }

    if (++quiet_reads_ >= QUIET_READS_PER_CHECK) {
        quiet_reads_ = 0;
        if (!port_alive(port)) {
            problem_ = failure(PortFault::Failed, GetLastError());
            return PortRead::Lost;
        }
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
    double progress = stall_s_ > 0 ? monotonic_seconds() : 0.0;  // when the port last took a byte
    while (size > 0) {
        if (cancelled()) {
            problem_ = failure(PortFault::Cancelled, 0);
            return PortWrite::Lost;
        }
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD put = 0;
        // A line that flow control holds keeps the write waiting, until the
        // token's cancel (from another thread) ends it.
        OVERLAPPED call{};
        call.hEvent = as_handle(io_event_);
        DWORD most_ms = INFINITE;
        if (stall_s_ > 0) {
            const double left_ms = (progress + stall_s_ - monotonic_seconds()) * 1000.0;
            most_ms = left_ms > 1.0 ? static_cast<DWORD>(left_ms) : 1;
        }
        const BOOL ok = finish_call(port, call, WriteFile(port, data, chunk, nullptr, &call), put, cancel_, most_ms);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        data += put;
        size -= put;
        if (put > 0) {
            failures = 0;
            if (stall_s_ > 0) progress = monotonic_seconds();
        }
        if (ok && put > 0) continue;
        if (cancelled()) {
            problem_ = failure(PortFault::Cancelled, 0);
            return PortWrite::Lost;
        }
        if (stalled_since(progress)) return PortWrite::Lost;
        // Failed, or a write time-out passed with nothing taken (flow control
        // holding the line). Either way: is the device still there?
        if (!ok) {
            problem_ = failure(PortFault::Failed, error);
            if (failure_is_loss(port, error)) return PortWrite::Lost;
            if (++failures >= WRITE_TRIES) return PortWrite::Failed;
        } else if (!port_alive(port)) {
            problem_ = failure(PortFault::Failed, GetLastError());
            return PortWrite::Lost;
        }
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
    if (io_event_ != 0) CloseHandle(as_handle(io_event_));
    io_event_ = 0;
    block_next_ = 0;  // what was read and not used goes with the port
    block_fill_ = 0;
}

bool describe_platform_port_fault(const PortProblem& problem, const char* /*device*/, char* text, std::size_t size) {
    switch (problem.fault) {
    case PortFault::NoDevice:
    case PortFault::NotFound:
        std::snprintf(text, size, "no such port; Device Manager lists the ports under \"Ports (COM & LPT)\"");
        return true;
    case PortFault::PermissionDenied:
    case PortFault::Busy:
        // Windows answers "access denied" for a port that another program holds.
        std::snprintf(text, size, "held by another program (a terminal, another download?): close it and retry");
        return true;
    case PortFault::HungUp:
        std::snprintf(text, size, "the device went away");
        return true;
    default:
        return false;
    }
}
