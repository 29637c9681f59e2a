#include "session/station_plan.h"

#include <cstdlib>

#include "link/serial_port.h"

namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() <= 9;
}

// Why an entry of PORTS names no port, or empty when it names one: a COM
// number (plain or "COM3"), a device path, or a USB identity. What a single
// download would still take as some number ("COM7-9" as COM0) is refused here,
// where a whole bench hangs on it.
std::string odd_entry(const std::string& entry, const PortName& name) {
    if (name.kind == PortKind::Device) return std::string();
    if (name.kind == PortKind::UsbSerial || name.kind == PortKind::UsbLocation) {
        if (name.text[0] != '\0') return std::string();
        return "\"" + entry + "\" names no adapter: give its serial number after usb: or its location after usb@";
    }
    if ((name.form == PortArgument::Plain || name.form == PortArgument::ComName) && name.number >= 1) {
        return std::string();
    }
    std::string why = "\"" + entry + "\" names no port: give a COM number (3, COM3), a range (7-12), a device "
                      "(/dev/ttyUSB0) or a USB adapter (usb:SERIAL, usb@LOCATION)";
    if (entry.find('/') == std::string::npos && entry.rfind("tty", 0) == 0) {
        why = "\"" + entry + "\" names no port: the device is /dev/" + entry;
    }
    return why;
}

// One spelling of the device a port entry names, so that two names for one
// device are seen to be one; an identity that names no adapter now stands
// for itself.
std::string device_key(const PortName& name) {
    char device[PORT_DEVICE_MAX] = "";
    char detail[512];
    PortFault fault = PortFault::None;
    if (!find_port_device(name, device, sizeof device, fault, detail, sizeof detail)) {
        char label[PORT_DEVICE_MAX + 8];
        port_label(name, label, sizeof label);
        return label;
    }
    char canonical[PORT_DEVICE_MAX];
    canonical_device(device, canonical, sizeof canonical);
    return canonical;
}

}  // namespace

bool parse_station_ports(const char* text, std::vector<StationPort>& ports, std::string& error) {
    ports.clear();
    const std::string all = text;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = all.find(',', start);
        const std::string entry = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (entry.empty()) {
            error = "an empty entry in the port list \"" + all + "\"";
            return false;
        }
        const std::size_t dash = entry.find('-');
        if (dash != std::string::npos && all_digits(entry.substr(0, dash)) && all_digits(entry.substr(dash + 1))) {
            const int first = static_cast<int>(std::strtol(entry.substr(0, dash).c_str(), nullptr, 10));
            const int last = static_cast<int>(std::strtol(entry.substr(dash + 1).c_str(), nullptr, 10));
            if (first > last) {
                error = "the range " + entry + " runs backwards";
                return false;
            }
            if (first < 1) {
                error = "the range " + entry + " starts below COM1";
                return false;
            }
            for (int number = first; number <= last && ports.size() <= STATION_PORTS_MAX; ++number) {
                const std::string given = std::to_string(number);
                ports.push_back({given, parse_port_name(given.c_str()), ""});
            }
        } else {
            const PortName name = parse_port_name(entry.c_str());
            error = odd_entry(entry, name);
            if (!error.empty()) return false;
            ports.push_back({entry, name, ""});
        }
        if (ports.size() > STATION_PORTS_MAX) {
            error = "more than " + std::to_string(STATION_PORTS_MAX) + " ports";
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    for (StationPort& port : ports) {
        char label[PORT_DEVICE_MAX + 8];
        port_label(port.name, label, sizeof label);
        port.label = label;
    }
    return true;
}

bool find_port_named_twice(const std::vector<StationPort>& ports, std::string& error) {
    std::vector<std::string> keys;
    keys.reserve(ports.size());
    for (const StationPort& port : ports) keys.push_back(device_key(port.name));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (keys[i] != keys[k]) continue;
            error = ports[k].given == ports[i].given ? "port " + ports[i].given + " is named twice"
                                                     : ports[k].given + " and " + ports[i].given + " name one port, " +
                                                           keys[i];
            return true;
        }
    }
    return false;
}

bool apply_job_station(const Job& job, StationPlan& plan, std::string& error) {
    if (!plan.log_given && !job.station_log.empty()) plan.log_path = job_relative(job, job.station_log);
    if (job.continuous) plan.continuous = plan.continuous || *job.continuous;
    if (!plan.rearm_given && job.rearm_quiet_s) plan.rearm_quiet_s = *job.rearm_quiet_s;
    if (!plan.stall_given && job.stall_s) plan.stall_s = *job.stall_s;
    if (!plan.flash_write_max_given && job.flash_write_max_s) plan.flash_write_max_s = *job.flash_write_max_s;
    plan.strict = plan.strict || job.strict;
    if (plan.name.empty()) plan.name = job.station_name;
    if (plan.serve.empty()) plan.serve = job.serve_listen;
    plan.serve_names.insert(plan.serve_names.end(), job.serve_names.begin(), job.serve_names.end());
    if (!plan.ports_text.empty()) return true;
    if (job.station_ports.empty()) {
        error = "no ports: give PORTS after --station, or station.ports in the job";
        return false;
    }
    plan.ports_text = job.station_ports;
    if (parse_station_ports(job.station_ports.c_str(), plan.ports, error)) return true;
    error = "station.ports: " + error;
    return false;
}
