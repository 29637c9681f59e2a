// Linux: the tty's closing wait through TIOCGSERIAL and TIOCSSERIAL.
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <utility>
#include <vector>

#include "console/thread_safety.h"
#include "link/closing_wait.h"
#include "link/serial_port.h"

namespace {

// Mutex rules: `kept_lock` guards `kept`; nothing is taken inside it.
Mutex kept_lock;
// The closing wait each port opened here had before it was dropped, by
// descriptor, in the driver's units (hundredths of a second).
std::vector<std::pair<int, unsigned short>> kept GUARDED_BY(kept_lock);

// Takes what drop_closing_wait() kept for `fd` out of the list; false if it kept nothing.
bool take_kept(int fd, unsigned short& closing_wait) {
    const MutexLock hold(kept_lock);
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (it->first == fd) {
            closing_wait = it->second;
            kept.erase(it);
            return true;
        }
    }
    return false;
}

// The output still queued in the driver for `fd`; false when the port can no
// longer say (it has been hung up, and its close does not wait).
bool queued_output(int fd, int& queued) {
    return ioctl(fd, TIOCOUTQ, &queued) == 0;
}

}  // namespace

void drop_closing_wait(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || serial.closing_wait == ASYNC_CLOSING_WAIT_NONE) return;
    const unsigned short before = serial.closing_wait;
    serial.closing_wait = ASYNC_CLOSING_WAIT_NONE;
    // Refused without CAP_SYS_ADMIN (EPERM): prepare_close() then gives the output its chance to leave.
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return;
    const MutexLock hold(kept_lock);
    kept.emplace_back(fd, before);
}

void prepare_close(int fd) {
    int queued = 0;
    unsigned short before = 0;
    if (take_kept(fd, before)) {
        // With something queued the wait stays dropped: restored, it would hold this close.
        serial_struct serial{};
        if (queued_output(fd, queued) && queued == 0 && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.closing_wait = before;
            ioctl(fd, TIOCSSERIAL, &serial);
        }
        return;
    }
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.closing_wait == ASYNC_CLOSING_WAIT_NONE) return;
    for (int waited = 0; waited < CLOSE_DRAIN_MS; waited += READ_INTERVAL_MS) {
        if (!queued_output(fd, queued) || queued == 0) return;
        poll(nullptr, 0, READ_INTERVAL_MS);
    }
}
