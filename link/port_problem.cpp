#include <cstdio>

#include "console/system_error.h"
#include "link/serial_port.h"

void describe_port_problem(const PortProblem& problem, const char* device, char* text, std::size_t size) {
    if (describe_platform_port_fault(problem, device, text, size)) return;
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
