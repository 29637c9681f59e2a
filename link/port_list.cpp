#include "link/port_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "link/serial_port.h"

namespace {

bool same_text_ignoring_case(const std::string& a, const char* b) {
    const std::size_t size = std::strlen(b);
    if (a.size() != size) return false;
    for (std::size_t i = 0; i < size; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t k = 0;
    while (i < a.size() && k < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) != 0 && std::isdigit(static_cast<unsigned char>(b[k])) != 0) {
            std::size_t i_end = i;
            std::size_t k_end = k;
            while (i_end < a.size() && std::isdigit(static_cast<unsigned char>(a[i_end])) != 0) ++i_end;
            while (k_end < b.size() && std::isdigit(static_cast<unsigned char>(b[k_end])) != 0) ++k_end;
            const std::string x = a.substr(i, i_end - i);
            const std::string y = b.substr(k, k_end - k);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            i = i_end;
            k = k_end;
            continue;
        }
        if (a[i] != b[k]) return a[i] < b[k];
        ++i;
        ++k;
    }
    return i == a.size() && k < b.size();  // one is a prefix of the other: the shorter first
}

void sort_ports(std::vector<PortInfo>& ports) {
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        if ((a.com_number > 0) != (b.com_number > 0)) return a.com_number > 0;
        if (a.com_number != b.com_number) return a.com_number < b.com_number;
        return natural_less(a.device, b.device);
    });
}

std::string port_kind_of_driver(const std::string& driver) {
    static const struct {
        const char* driver;
        const char* kind;
    } KINDS[] = {
        {"ftdi_sio", "FTDI USB-serial"},  {"cp210x", "CP210x USB-serial"},   {"ch341", "CH34x USB-serial"},
        {"pl2303", "PL2303 USB-serial"}, {"cdc_acm", "CDC ACM"},            {"serial", "16550 UART"},
        {"8250", "16550 UART"},          {"usbserial_generic", "USB-serial"}, {"option", "USB modem"},
    };
    for (const auto& k : KINDS) {
        if (driver == k.driver) return k.kind;
    }
    return driver;
}

std::string usb_identity(const PortInfo& port, const char* separator) {
    std::string identity;
    if (!port.usb) return identity;
    if (!port.serial.empty()) identity = "usb:" + port.serial;
    if (!port.location.empty()) identity += (identity.empty() ? "" : separator) + ("usb@" + port.location);
    return identity;
}

std::string usb_identity_of_device(const char* device) {
    char wanted[PORT_DEVICE_MAX];
    canonical_device(device, wanted, sizeof wanted);
    for (const PortInfo& port : list_serial_ports()) {
        char known[PORT_DEVICE_MAX];
        canonical_device(port.device.c_str(), known, sizeof known);
        if (std::strcmp(known, wanted) == 0) return usb_identity(port, " ");
    }
    return std::string();
}

bool find_usb_port(const PortName& name, char* device, std::size_t device_size, char* detail,
                   std::size_t detail_size) {
    const bool by_serial = name.kind == PortKind::UsbSerial;
    const char* what = by_serial ? "serial number" : "location";
    std::string matches;
    std::string found;
    int count = 0;
    for (const PortInfo& port : list_serial_ports()) {
        if (!port.usb) continue;
        // Windows keeps serial numbers in upper case; the operator may not.
        const bool match = by_serial ? !port.serial.empty() && same_text_ignoring_case(port.serial, name.text)
                                     : !port.location.empty() && port.location == name.text;
        if (!match) continue;
        ++count;
        found = port.device;
        matches += (matches.empty() ? "" : ", ") + port.name;
    }
    if (count == 1) {
        std::snprintf(device, device_size, "%s", found.c_str());
        detail[0] = '\0';
        return true;
    }
    device[0] = '\0';
    if (count == 0) {
        std::snprintf(detail, detail_size, "no adapter with that %s is plugged in", what);
    } else {
        std::snprintf(detail, detail_size, "%d adapters have that %s: %s%s", count, what, matches.c_str(),
                      by_serial ? "; name one by its location (usb@...), as stbload --list shows it" : "");
    }
    return false;
}
