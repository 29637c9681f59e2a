#include "link/serial_port.h"

#include <cerrno>
#include <climits>
#include <grp.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "console/clock.h"
#include "console/environment.h"
#include "link/closing_wait.h"
#include "link/port_read_posix.h"

const char PORT_HELP[] =
    "PORT is a COM number (3 or COM3: the device $STBLOAD_COM<n> names, else\r\n"
    "/dev/ttyS<n-1>), a device (/dev/ttyUSB0, /dev/serial/by-id/...), or a USB\r\n"
    "adapter by its serial number or its place: usb:SERIAL, usb@LOCATION.\r\n";
const char PORT_ENVIRONMENT_HELP[] = "  STBLOAD_COM<n>=DEVICE  the serial device for COM<n>\r\n";

namespace {

PortProblem failure(PortFault fault, int error) {
    return {fault, error};
}

// Why open() failed, as the operator can act on it.
PortProblem open_failure(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV: return failure(PortFault::NotFound, error);
    case EACCES:
    case EPERM: return failure(PortFault::PermissionDenied, error);
    case EBUSY: return failure(PortFault::Busy, error);
    default: return failure(PortFault::Failed, error);
    }
}

// Failing calls are retried by the callers; this keeps that from spinning.
void pause_after_failure() {
    poll(nullptr, 0, READ_INTERVAL_MS);
}

PortProblem apply_port_settings(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return failure(PortFault::NotSerial, errno);  // not a terminal

    // Raw: bytes pass unchanged both ways whatever the port was set to before.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          INPCK | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    // 8N1; hardware flow control (CRTSCTS) stays as it was.
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // One byte satisfies a read; with VMIN 0 an empty read would look like a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0) {
        return failure(PortFault::SettingsRefused, errno);
    }

    // Assert RTS. A port without modem lines (a pseudo-terminal) refuses; that is fine.
    int rts = TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &rts);
    return failure(PortFault::None, 0);
}

// One non-blocking read of what has arrived, up to `size` bytes.
PortRead read_waiting(int fd, std::uint8_t* block, std::size_t size, std::size_t& got, PortProblem& problem) {
    const ssize_t n = ::read(fd, block, size);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return PortRead::Byte;
    }
    if (n == 0) {  // hung up (VMIN is 1)
        problem = failure(PortFault::HungUp, 0);
        return PortRead::Lost;
    }
    const int error = errno;
    const PortError meaning = classify_port_error(error);
    if (meaning == PortError::Retry) return PortRead::Empty;
    problem = failure(PortFault::Failed, error);
    if (meaning == PortError::Lost) return PortRead::Lost;
    pause_after_failure();
    return PortRead::Failed;
}

// The group a user joins to use a serial device, in `name`: the device's own
// group if it has one other than root's (dialout on Debian, uucp on others),
// else dialout where the system has that group. False if there is none to name.
bool serial_group(const char* device, char* name, std::size_t size) {
    // getgrgid_r and getgrnam_r: the station's threads may ask at once.
    char buffer[4096];
    group entry{};
    group* found = nullptr;
    struct stat info {};
    if (stat(device, &info) == 0 && info.st_gid != 0 &&
        getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        std::snprintf(name, size, "%s", found->gr_name);
        return true;
    }
    if (getgrnam_r("dialout", &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        std::snprintf(name, size, "%s", found->gr_name);
        return true;
    }
    return false;
}

}  // namespace

PortError classify_port_error(int code) {
    switch (code) {
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return PortError::Retry;
    // A USB adapter pulled out: the read or write it broke gives any of
    // these, depending on the moment.
    case EIO:
    case ENXIO:
    case ENODEV:
        return PortError::Lost;
    default:
        return PortError::Failed;
    }
}

// COM<n> is the device named by the environment variable STBLOAD_COM<n>
// (STBLOAD_COM3=/dev/ttyUSB0); without it, /dev/ttyS<n-1>, so COM1 is
// /dev/ttyS0. Numbers below 1 have no default device.
bool com_port_device(int number, char* device, std::size_t size) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "STBLOAD_COM%d", number);
    const char* named = environment_value(variable);
    if (named != nullptr && named[0] != '\0') {
        return static_cast<std::size_t>(std::snprintf(device, size, "%s", named)) < size;
    }
    if (number <= 0) return false;
    std::snprintf(device, size, "/dev/ttyS%d", number - 1);
    return true;
}

void canonical_device(const char* device, char* text, std::size_t size) {
    char resolved[PATH_MAX];
    std::snprintf(text, size, "%s", realpath(device, resolved) != nullptr ? resolved : device);
}

PortOpen open_serial_device(SerialPort& port) {
    const int fd = ::open(port.device_, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        port.problem_ = open_failure(errno);
        return PortOpen::CannotOpen;
    }
    // One program per port: the lock holds for root too, for whom TIOCEXCL does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL)) {
        port.problem_ = errno == EWOULDBLOCK ? failure(PortFault::Busy, errno) : open_failure(errno);
        ::close(fd);
        return PortOpen::CannotOpen;
    }
    port.handle_ = fd;
    drop_closing_wait(fd);
    port.problem_ = apply_port_settings(fd);
    return port.problem_.fault == PortFault::None ? PortOpen::Opened : PortOpen::SettingsRefused;
}

PortRead read_port_block(int fd, std::uint8_t* block, std::size_t size, std::size_t& got, PortProblem& problem) {
    PortRead read = read_waiting(fd, block, size, got, problem);
    if (read != PortRead::Empty) return read;
    // Nothing there: wait for the first byte, up to the interval.
    pollfd wait{fd, POLLIN, 0};
    const int ready = poll(&wait, 1, READ_INTERVAL_MS);
    if (ready == 0) return PortRead::Empty;
    if (ready < 0) {
        if (errno == EINTR) return PortRead::Empty;
        problem = failure(PortFault::Failed, errno);
        pause_after_failure();
        return PortRead::Failed;
    }
    // Read what is there even when the line has hung up behind it.
    if ((wait.revents & POLLIN) != 0) return read_waiting(fd, block, size, got, problem);
    if ((wait.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        problem = failure(PortFault::HungUp, 0);
        return PortRead::Lost;
    }
    return PortRead::Empty;
}

PortRead SerialPort::refill() {
    return read_port_block(static_cast<int>(handle_), block_, sizeof block_, block_fill_, problem_);
}

PortWrite SerialPort::write(const std::uint8_t* data, std::size_t size) {
    const int fd = static_cast<int>(handle_);
    double progress = stall_s_ > 0 ? monotonic_seconds() : 0.0;  // when the port last took a byte
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            if (stall_s_ > 0) progress = monotonic_seconds();
            continue;
        }
        const int error = n < 0 ? errno : EIO;
        if (n < 0 && error == EINTR) continue;
        if (n < 0 && classify_port_error(error) == PortError::Retry) {
            // The output queue is full: wait until the port takes more, in
            // slices, so that a line held back for good can still be given up.
            pollfd wait{fd, POLLOUT, 0};
            int ready = 0;
            while (ready == 0) {
                if (cancelled()) {
                    problem_ = failure(PortFault::Cancelled, 0);
                    return PortWrite::Lost;
                }
                if (stalled_since(progress)) return PortWrite::Lost;
                ready = poll(&wait, 1, READ_INTERVAL_MS);
            }
            if (ready < 0 && errno != EINTR) {
                problem_ = failure(PortFault::Failed, errno);
                pause_after_failure();
                return PortWrite::Failed;
            }
            if ((wait.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                problem_ = failure(PortFault::HungUp, 0);
                return PortWrite::Lost;
            }
            continue;
        }
        // A write of 0 bytes without an error: count it as the failure it is.
        problem_ = failure(PortFault::Failed, error);
        if (n < 0 && classify_port_error(error) == PortError::Lost) return PortWrite::Lost;
        pause_after_failure();
        return PortWrite::Failed;
    }
    return PortWrite::Written;
}

void SerialPort::close() {
    if (handle_ < 0) return;
    const int fd = static_cast<int>(handle_);
    ioctl(fd, TIOCNXCL);  // the flag would otherwise outlive us while others hold the tty
    // Nothing still queued for the box matters once the run is over: it either
    // confirmed the whole image or the run failed. Without this, closing a port
    // whose device has gone (a USB adapter pulled out) waits out the tty's
    // closing time, 30 s by default, for output that can never leave. A USB
    // adapter's driver cannot flush: for it, the closing wait is dropped at
    // the open (see closing_wait.h), or its queue gets a moment to empty.
    tcflush(fd, TCOFLUSH);
    prepare_close(fd);
    ::close(fd);
    handle_ = -1;
    block_next_ = 0;  // what was read and not used goes with the port
    block_fill_ = 0;
}

bool describe_platform_port_fault(const PortProblem& problem, const char* device, char* text, std::size_t size) {
    switch (problem.fault) {
    case PortFault::NoDevice:
        std::snprintf(text, size, "no device has this number: COM1 is /dev/ttyS0, COM2 /dev/ttyS1 and so on; "
                                  "STBLOAD_COM<n>=DEVICE names any other");
        return true;
    case PortFault::NotFound:
        std::snprintf(text, size, "no such device");
        return true;
    case PortFault::PermissionDenied:
        char group[256];
        if (serial_group(device, group, sizeof group)) {
            std::snprintf(text, size, "permission denied; the user may need to be in the %s group "
                                      "(sudo usermod -aG %s $USER, then log in again)", group, group);
        } else {
            std::snprintf(text, size, "permission denied");
        }
        return true;
    case PortFault::Busy:
        std::snprintf(text, size, "held by another program");
        return true;
    case PortFault::HungUp:
        std::snprintf(text, size, "the device hung up");
        return true;
    default:
        return false;
    }
}
