// macOS and the BSDs: the call-out devices by name (/dev/cu.*, /dev/cuaU*),
// with nothing more known of them.
#include <dirent.h>
#include <string>

#include "link/port_list.h"

std::vector<PortInfo> list_serial_ports() {
    std::vector<PortInfo> ports;
    if (DIR* dir = opendir("/dev")) {
        while (const dirent* entry = readdir(dir)) {  // NOLINT(concurrency-mt-unsafe): one stream per call
            const std::string name = entry->d_name;
            if (name.rfind("cu.", 0) != 0 && name.rfind("cuaU", 0) != 0) continue;
            PortInfo port;
            port.device = "/dev/" + name;
            port.name = port.device;
            port.kind = "serial port";
            ports.push_back(port);
        }
        closedir(dir);
    }
    sort_ports(ports);
    return ports;
}
