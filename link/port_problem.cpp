#include <cstdio>

#include "console/system_error.h"
#include "link/port_list.h"
#include "link/serial_port.h"

void describe_port_problem(const SerialPort& port, char* text, std::size_t size) {
    const PortProblem problem = port.problem();
    if (problem.fault == PortFault::NoAdapter) {
        std::snprintf(text, size, "%s", port.detail());
        return;
    }
    if (describe_platform_port_fault(problem, port.device(), text, size)) return;
    char reason[256];
    describe_system_error(problem.error, reason, sizeof reason);
    switch (problem.fault) {
    case PortFault::NotSerial:
        std::snprintf(text, size, "not a serial port (%s)", reason);
        return;
    case PortFault::SettingsRefused:
        std::snprintf(text, size, "the driver refused 115200 baud 8N1 (%s)", reason);
        return;
    case PortFault::None:
        std::snprintf(text, size, "no problem");
        return;
    default:
        std::snprintf(text, size, "%s", reason);
        return;
    }
}

PortOpen open_serial_port(const PortName& name, SerialPort& port) {
    port.close();
    port.quiet_reads_ = 0;
    port.detail_[0] = '\0';
    port.device_[0] = '\0';
    switch (name.kind) {
    case PortKind::Number:
        if (!com_port_device(name.number, port.device_, sizeof port.device_)) {
            port.device_[0] = '\0';
            port.problem_ = {PortFault::NoDevice, 0};
            return PortOpen::CannotOpen;
        }
        break;
    case PortKind::Device:
        std::snprintf(port.device_, sizeof port.device_, "%s", name.text);
        break;
    case PortKind::UsbSerial:
    case PortKind::UsbLocation:
        if (!find_usb_port(name, port.device_, sizeof port.device_, port.detail_, sizeof port.detail_)) {
            port.problem_ = {PortFault::NoAdapter, 0};
            return PortOpen::CannotOpen;
        }
        break;
    }
    return open_serial_device(port);
}
