#include "link/device_line.h"

#include <cstring>

DeviceLine read_device_line(PortIo& port, char* dst, LineWatch* watch) {
    char line[DEVICE_LINE_MAX] = {};
    std::size_t length = 0;
    bool heard = false;  // any byte at all, a NUL included
    while (length < DEVICE_LINE_MAX - 1) {
        std::uint8_t byte = 0;
        switch (port.read_byte(byte)) {
        case PortRead::Byte:
            break;
        case PortRead::Empty:
            if (watch != nullptr && watch->give_up(heard)) return DeviceLine::GivenUp;
            continue;
        case PortRead::Failed:
            // Under a watch, a failed read before any byte is no word from the
            // box: the watch decides, as after a quiet read.
            if (watch == nullptr || heard) return DeviceLine::Dropped;
            if (watch->give_up(false)) return DeviceLine::GivenUp;
            continue;
        case PortRead::Lost:
            return DeviceLine::Lost;
        }
        heard = true;
        if (byte == '\0') continue;
        line[length++] = static_cast<char>(byte);
        if (byte == '\n') {
            std::memcpy(dst, line, length + 1);
            return DeviceLine::Delivered;
        }
    }
    return DeviceLine::Dropped;
}
