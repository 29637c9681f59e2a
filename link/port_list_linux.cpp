// Linux: the ports in /sys/class/tty that have a device behind them, with the
// USB device above a USB adapter's interface, and udev's /dev/serial/by-id names.
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <climits>
#include <string>
#include <unistd.h>

#include "console/environment.h"
#include "link/port_list.h"

namespace {

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a sysfs link points to: the driver or subsystem of a device.
std::string link_name(const std::string& path) {
    return base_name(real_path(path));
}

std::string attribute(const std::string& directory, const char* name) {
    std::ifstream in(directory + "/" + name);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
}

std::vector<std::string> entries(const char* directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory)) {
        while (const dirent* entry = readdir(dir)) {  // NOLINT(concurrency-mt-unsafe): one stream per call
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    return names;
}

// The USB device a tty hangs under: the first directory upward with idVendor.
void take_usb_device(const std::string& device_path, PortInfo& port) {
    for (std::string dir = device_path; dir.size() > std::strlen("/sys/devices"); dir.resize(dir.find_last_of('/'))) {
        const std::string vendor = attribute(dir, "idVendor");
        if (vendor.empty()) continue;
        port.usb = true;
        port.vendor = static_cast<unsigned>(std::strtoul(vendor.c_str(), nullptr, 16));
        port.product = static_cast<unsigned>(std::strtoul(attribute(dir, "idProduct").c_str(), nullptr, 16));
        port.serial = attribute(dir, "serial");
        port.location = base_name(dir);
        const std::string manufacturer = attribute(dir, "manufacturer");
        const std::string product = attribute(dir, "product");
        port.description = product;
        if (!manufacturer.empty() && product.rfind(manufacturer, 0) != 0) port.description.insert(0, manufacturer + " ");
        return;
    }
}

// The COM number that names `device`: STBLOAD_COM<n> set to it, or else
// ttyS<n-1> when STBLOAD_COM<n> names nothing else.
int com_number_of(const std::string& name, const std::string& device) {
    const std::string real = real_path(device);
    for (const auto& [variable, value] : environment_with_prefix("STBLOAD_COM")) {
        const char* digits = variable.c_str() + 11;
        char* end = nullptr;
        const long number = std::strtol(digits, &end, 10);
        if (end == digits || *end != '\0' || number < 1 || number > INT_MAX) continue;
        if (real_path(value) == real) return static_cast<int>(number);
    }
    if (name.rfind("ttyS", 0) == 0 && name.size() > 4 && name.find_first_not_of("0123456789", 4) == std::string::npos) {
        const int number = static_cast<int>(std::strtol(name.c_str() + 4, nullptr, 10)) + 1;
        const std::string variable = "STBLOAD_COM" + std::to_string(number);
        const char* set = environment_value(variable.c_str());
        if (set == nullptr || set[0] == '\0') return number;
    }
    return 0;
}

}  // namespace

std::vector<PortInfo> list_serial_ports() {
    std::vector<PortInfo> ports;
    std::vector<std::string> by_id = entries("/dev/serial/by-id");
    for (const std::string& name : entries("/sys/class/tty")) {
        const std::string tty = "/sys/class/tty/" + name;
        const std::string device_path = real_path(tty + "/device");
        if (device_path.empty()) continue;  // a virtual terminal, a pty: no device behind it
        // The 8250 driver registers ttyS ports with no UART behind them on its
        // own platform device; a real UART is a PNP, ACPI or PCI device.
        if (device_path.find("/serial8250") != std::string::npos) continue;
        // Newer kernels put a serial-base port device between the tty and the
        // UART: the UART's driver is the one that says what it is.
        std::string controller = device_path;
        while (link_name(controller + "/subsystem") == "serial-base") controller.resize(controller.find_last_of('/'));
        const std::string driver = link_name(controller + "/driver");
        PortInfo port;
        port.device = "/dev/" + name;
        port.name = port.device;
        port.kind = port_kind_of_driver(driver.empty() ? link_name(controller + "/subsystem") : driver);
        take_usb_device(device_path, port);
        for (const std::string& id : by_id) {
            if (real_path("/dev/serial/by-id/" + id) == port.device) port.by_id = "/dev/serial/by-id/" + id;
        }
        port.com_number = com_number_of(name, port.device);
        ports.push_back(port);
    }
    sort_ports(ports);
    return ports;
}
