#include "link/device_line.h"

#include <cstring>

DeviceLine read_device_line(PortIo& port, char* dst) {
    char line[DEVICE_LINE_MAX] = {};
    std::size_t length = 0;
    while (length < DEVICE_LINE_MAX - 1) {
        std::uint8_t byte = 0;
        switch (port.read_byte(byte)) {
        case PortRead::Byte:
            break;
        case PortRead::Empty:
            continue;
        case PortRead::Failed:
            return DeviceLine::Dropped;
        case PortRead::Lost:
            return DeviceLine::Lost;
        }
        if (byte == '\0') continue;
        line[length++] = static_cast<char>(byte);
        if (byte == '\n') {
            std::memcpy(dst, line, length + 1);
            return DeviceLine::Delivered;
        }
    }
    return DeviceLine::Dropped;
}
