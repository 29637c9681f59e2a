// The serial port to the device's loader, and the byte I/O the exchange needs of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/cancel_token.h"
#include "link/port_name.h"

enum class PortRead {
    Byte,    // one byte arrived
    Empty,   // nothing arrived within the read interval
    Failed,  // a transient error; worth another try
    Lost,    // the device is gone (adapter pulled, link closed)
};

enum class PortWrite {
    Written,  // every byte was taken by the port
    Failed,   // a transient error; the bytes may not all have gone out
    Lost,     // the device is gone
};

// What the device line reader and the exchange use: the serial port, or an
// in-memory stand-in in tests.
class PortIo {
public:
    // Waits up to about READ_INTERVAL_MS for one byte. Any result other than
    // Byte has taken about that long, so callers can simply retry.
    virtual PortRead read_byte(std::uint8_t& byte) = 0;
    // Blocks until the port has taken all `size` bytes (or cannot).
    virtual PortWrite write(const std::uint8_t* data, std::size_t size) = 0;

protected:
    ~PortIo() = default;
};

// What PORT on the command line means on this platform, and the environment
// variables that change it: lines for the help text, each ending in "\r\n".
extern const char PORT_HELP[];
extern const char PORT_ENVIRONMENT_HELP[];

constexpr int READ_INTERVAL_MS = 10;
// The most bytes one read of the port takes: what has arrived, up to this.
constexpr std::size_t READ_BLOCK = 4096;
// How often a line that trickles is read: bytes gather in the driver
// meanwhile (at 115200 baud, 576 of them; its queue holds several times that).
constexpr int TRICKLE_READ_MS = 50;
constexpr int BAUD_RATE = 115200;

enum class PortOpen {
    Opened,           // open, 115200 8N1 raw, RTS on
    CannotOpen,       // missing, forbidden, or held by another program
    SettingsRefused,  // open, but the line settings could not be applied
};

// Why the port could not be opened or configured, or why it was given up.
enum class PortFault {
    None,
    NoDevice,          // the number names no device on this platform
    NoAdapter,         // no USB adapter, or more than one, has the identity given (see detail())
    NotFound,          // the device does not exist
    PermissionDenied,  // this user may not open it
    Busy,              // another program holds it
    NotSerial,         // it opens, but is no serial port
    SettingsRefused,   // the driver refused the line settings
    HungUp,            // the device hung up (no system error to go with it)
    Cancelled,         // the port's waits were asked to end (CancelToken)
    Stalled,           // a write that the port took no byte of for the stall limit (error: its seconds)
    Failed,            // a system error, see PortProblem::error
};

struct PortProblem {
    PortFault fault;
    int error;  // the system's error code (errno, GetLastError()); 0 if there is none
};

// What a read or write that failed with the system's error `code` (errno,
// GetLastError()) means for the port.
enum class PortError {
    Retry,   // interrupted, or nothing to take just now: try again at once
    Lost,    // the device is gone: an adapter pulled out, a driver that let go
    Failed,  // anything else; on Windows the line is checked before it counts
};
PortError classify_port_error(int code);

// Reads take what has arrived, up to READ_BLOCK bytes, in one call, and hand
// it out a byte at a time; bytes still unread when the port is closed are
// dropped, as the driver's queue is. A line that trickles is read once per
// TRICKLE_READ_MS, not once per byte.
class SerialPort final : public PortIo {
public:
    SerialPort() = default;
    ~SerialPort() { close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    PortRead read_byte(std::uint8_t& byte) override;
    PortWrite write(const std::uint8_t* data, std::size_t size) override;
    void close();

    // From now on the port's reads and writes end as Lost (fault Cancelled)
    // within about READ_INTERVAL_MS once `token` is cancelled, a write that
    // the line holds back included. Without a token they wait as long as it takes.
    void honour(CancelToken* token) { cancel_ = token; }
    // From now on a write that the port takes no byte of for `seconds` (a box
    // that stopped reading, a line held back) gives up as Lost with the fault
    // Stalled; 0, the default, waits as long as it takes.
    void limit_stall(double seconds) { stall_s_ = seconds; }

    // The device that was tried for the port ("/dev/ttyUSB0", "\\.\COM12"),
    // empty if the name gives none.
    const char* device() const { return device_; }
    // For NoAdapter, why in words: "2 adapters have that serial number: ...".
    const char* detail() const { return detail_; }
    // Why opening or configuring failed, or why the last read or write did:
    // what a Lost or Failed result came from.
    PortProblem problem() const { return problem_; }

private:
    friend PortOpen open_serial_port(const PortName& name, SerialPort& port);
    friend PortOpen open_serial_device(SerialPort& port);
    // Reads what has arrived into the block, or waits up to about
    // READ_INTERVAL_MS for it: Byte when the block holds bytes again.
    PortRead refill();
    bool cancelled() const { return cancel_ != nullptr && cancel_->cancelled(); }
    // The write has taken no byte since `last_progress` for the stall limit: the fault is set.
    bool stalled_since(double last_progress);

    std::intptr_t handle_ = -1;
    [[maybe_unused]] std::intptr_t io_event_ = 0;  // Windows: the event of the port's overlapped calls
    unsigned quiet_reads_ = 0;  // empty reads since the link was last checked
    PortProblem problem_{PortFault::None, 0};
    CancelToken* cancel_ = nullptr;
    double stall_s_ = 0;
    std::uint8_t block_[READ_BLOCK] = {};
    std::size_t block_next_ = 0;  // the next byte to hand out
    std::size_t block_fill_ = 0;  // bytes in the block
    double last_read_ = -1.0;     // when the last read began (monotonic seconds); -1: none yet
    double next_read_ = -1.0;     // after a trickle: when to read again; -1: at once
    char device_[PORT_DEVICE_MAX] = "";
    char detail_[512] = "";
};

// Opens the port `name` names and applies the line settings. On
// SettingsRefused the port stays open so that the caller closes it in its own
// order.
PortOpen open_serial_port(const PortName& name, SerialPort& port);

// The device `name` names now, in `device`: COM<n>'s device, the path given,
// or the one adapter with that USB identity. False when it names none, with
// the fault (NoDevice, NoAdapter) and, for NoAdapter, why in `detail`.
bool find_port_device(const PortName& name, char* device, std::size_t size, PortFault& fault, char* detail,
                      std::size_t detail_size);

// The platform's part of it: the device of COM<number> (false when the
// number names none), and opening port.device() with the line settings.
bool com_port_device(int number, char* device, std::size_t size);
PortOpen open_serial_device(SerialPort& port);

// One spelling for each device, so that two names for it compare equal: the
// path with its links resolved (POSIX), the name in upper case (Windows).
void canonical_device(const char* device, char* text, std::size_t size);

// Says in words why `port` could not be opened, configured or kept, for the
// operator: "no such device", "held by another program", ...
void describe_port_problem(const SerialPort& port, char* text, std::size_t size);

// The part of describe_port_problem() that differs by platform: the faults
// whose words name the platform's devices and tools. False for the others.
bool describe_platform_port_fault(const PortProblem& problem, const char* device, char* text, std::size_t size);
