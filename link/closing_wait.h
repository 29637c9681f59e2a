// Closing a serial device without waiting for output that cannot leave.
//
// Linux's close of a tty waits, up to the port's closing wait (30 s unless
// set otherwise), for the output still queued in the driver; O_NONBLOCK does
// not shorten it, and a USB adapter's driver cannot flush that queue. When the
// adapter is pulled out just before the close, the queue never empties, and
// the wait holds the tty even against the kernel's own hang-up of the port.
// Elsewhere these calls do nothing.
//
// Mutex rules: none needed by callers; what is kept per descriptor has a
// mutex of its own (a station opens and closes its ports from several threads).
#pragma once

// Right after `fd` is opened: asks the driver not to wait for output at the
// close, and keeps the closing wait it had. A driver without the setting (a
// pseudo-terminal) keeps its own way; changing it needs CAP_SYS_ADMIN, so for
// an ordinary user the driver keeps its wait.
void drop_closing_wait(int fd);

// Right before `fd` is closed, the output flushed where the driver can: when
// the driver still waits at its close, gives the queued output up to
// CLOSE_DRAIN_MS to leave, which it does at once once the device is known to be
// gone (its driver then counts nothing queued, or the port has been hung up).
// When the wait was dropped and nothing is queued, the port gets back the
// closing wait it had, for the programs that use it after.
void prepare_close(int fd);

// Long enough for the kernel to finish with an adapter pulled out, short
// enough that a lost port is let go within a second.
constexpr int CLOSE_DRAIN_MS = 500;
