#include "station/station_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/job.h"

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

namespace {

// Seconds from `low` to `high`, or why not.
bool parse_seconds(const char* option, const char* value, double low, double high, double& seconds,
                   std::string& error) {
    char* end = nullptr;
    const double parsed = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(parsed >= low && parsed <= high)) {
        char range[96];
        std::snprintf(range, sizeof range, " takes seconds from %g to %g, not \"", low, high);
        error = std::string(option) + range + value + "\"";
        return false;
    }
    seconds = parsed;
    return true;
}

// One option of the station's command line: its name, whether a value
// follows it, and what it sets.
struct StationOption {
    const char* name;
    bool takes_value;
    bool (*apply)(const char* value, StationOptions& options, std::string& error);
};

const StationOption STATION_OPTIONS[] = {
    {"--log", true,
     [](const char* value, StationOptions& o, std::string&) {
         o.log_path = value;
         o.log_given = true;
         return true;
     }},
    {"--job", true,
     [](const char* value, StationOptions& o, std::string&) {
         o.job_path = value;
         return true;
     }},
    {"--events", true,
     [](const char* value, StationOptions& o, std::string&) {
         o.events_path = value;
         return true;
     }},
    {"--rearm-quiet", true,
     [](const char* value, StationOptions& o, std::string& error) {
         o.rearm_given = true;
         return parse_seconds("--rearm-quiet", value, 0.1, 3600, o.rearm_quiet_s, error);
     }},
    {"--stall", true,
     [](const char* value, StationOptions& o, std::string& error) {
         o.stall_given = true;
         return parse_seconds("--stall", value, 1, 86400, o.stall_s, error);
     }},
    {"--flash-write-max", true,
     [](const char* value, StationOptions& o, std::string& error) {
         o.flash_write_max_given = true;
         return parse_seconds("--flash-write-max", value, 1, 86400, o.flash_write_max_s, error);
     }},
    {"--continuous", false,
     [](const char*, StationOptions& o, std::string&) {
         o.continuous = true;
         return true;
     }},
    {"--no-bell", false,
     [](const char*, StationOptions& o, std::string&) {
         o.bell = false;
         return true;
     }},
    {"--strict", false,
     [](const char*, StationOptions& o, std::string&) {
         o.strict = true;
         return true;
     }},
};

}  // namespace

bool parse_station_options(int argc, char** argv, StationOptions& options, std::string& error) {
    std::vector<const char*> plain;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' || arg[1] != '-') {
            plain.push_back(arg);
            continue;
        }
        const StationOption* option = nullptr;
        for (const StationOption& known : STATION_OPTIONS) {
            if (std::strcmp(arg, known.name) == 0) option = &known;
        }
        if (option == nullptr) {
            error = std::string("unknown option ") + arg;
            return false;
        }
        const char* value = nullptr;
        if (option->takes_value) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!option->apply(value, options, error)) return false;
    }
    if (options.job_path.empty() && plain.size() != 2) {
        error = "--station takes a list of ports and a hex file";
        return false;
    }
    if (!options.job_path.empty() && plain.size() > 1) {
        error = "under a job, --station takes at most a list of ports: the job names the hex file";
        return false;
    }
    if (options.rearm_given && !options.continuous) {
        error = "--rearm-quiet goes with --continuous";
        return false;
    }
    if (plain.size() == 2) options.hex_path = plain[1];
    if (plain.empty()) return true;  // the job's ports
    options.ports_text = plain[0];
    return parse_station_ports(plain[0], options.ports, error);
}

bool apply_job(const Job& job, StationOptions& options, std::string& error) {
    options.hex_path = job_relative(job, job.image_file);
    if (!options.log_given && !job.station_log.empty()) options.log_path = job_relative(job, job.station_log);
    if (job.continuous) options.continuous = options.continuous || *job.continuous;
    if (!options.rearm_given && job.rearm_quiet_s) options.rearm_quiet_s = *job.rearm_quiet_s;
    if (!options.stall_given && job.stall_s) options.stall_s = *job.stall_s;
    if (!options.flash_write_max_given && job.flash_write_max_s) options.flash_write_max_s = *job.flash_write_max_s;
    options.strict = options.strict || job.strict;
    if (!options.ports_text.empty()) return true;
    if (job.station_ports.empty()) {
        error = "no ports: give PORTS after --station, or station.ports in the job";
        return false;
    }
    options.ports_text = job.station_ports;
    if (parse_station_ports(job.station_ports.c_str(), options.ports, error)) return true;
    error = "station.ports: " + error;
    return false;
}
