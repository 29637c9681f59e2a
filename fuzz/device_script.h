// Fuzz input read as a script of what the device does: the bytes it sends,
// quiet or failed reads, and how the port treats the tool's writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/serial_port.h"

// Encoding: every byte is a byte from the device, except that 0xFF starts an
// escape:
//   FF 00    an empty read (nothing arrived)
//   FF 01    a failed read
//   FF 02    the next write fails (transient)
//   FF 03 n  the port takes n * 256 more writes, then every write is Lost
//   FF xx    (any other xx) the byte 0xFF; xx is read on its own
// A lone FF at the end is the byte 0xFF. After the script the device is gone.
enum class ScriptStep : std::uint8_t { Byte, Empty, Failed, FailNextWrite, LoseWrites };

struct ScriptEvent {
    ScriptStep step;
    std::uint8_t byte;         // for Byte
    std::uint32_t writes_left;  // for LoseWrites
};

void decode_script(const std::uint8_t* data, std::size_t size, std::vector<ScriptEvent>& events);

// Walks a script the way a port is read. Write controls take effect as soon as
// the read before them has been made, so "...want to update\n" FF 02 fails the
// answer to that line.
class ScriptCursor {
public:
    explicit ScriptCursor(const std::vector<ScriptEvent>& events);

    // One read: the next byte, Empty or Failed, or Lost once the script is over.
    PortRead read(std::uint8_t& byte);
    // One write attempt: Written, Failed or Lost as the script's controls say.
    PortWrite write();

    std::size_t reads() const { return reads_; }

private:
    void apply_controls();

    const std::vector<ScriptEvent>& events_;
    std::size_t next_ = 0;
    std::size_t reads_ = 0;
    bool fail_next_write_ = false;
    bool write_limit_ = false;
    std::uint32_t writes_left_ = 0;
    bool writes_lost_ = false;
};
