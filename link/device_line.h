// Text lines from the device's loader.
#pragma once

#include <cstddef>

#include "link/serial_port.h"

// A line holds at most 254 characters before its LF, 255 with it, plus the NUL.
constexpr std::size_t DEVICE_LINE_MAX = 256;

enum class DeviceLine {
    Delivered,  // a line, LF included, was copied to dst
    Dropped,    // a failed read or 255 characters without an LF: nothing delivered
    Lost,       // the device is gone
    GivenUp,    // the caller's watch ended the wait (LineWatch)
};

// Asked while a line is awaited, after each read that brought nothing.
class LineWatch {
public:
    // `heard`: some byte (a NUL included) has come since the wait began.
    // True ends the wait with DeviceLine::GivenUp.
    virtual bool give_up(bool heard) = 0;

protected:
    ~LineWatch() = default;
};

// Collects bytes until an LF and copies them, LF included, to `dst`
// (DEVICE_LINE_MAX bytes) as NUL-terminated text. NUL bytes are left out.
// Silence never ends the call, unless `watch` (when given) says so. `dst` is
// untouched unless a line is delivered.
DeviceLine read_device_line(PortIo& port, char* dst, LineWatch* watch = nullptr);
