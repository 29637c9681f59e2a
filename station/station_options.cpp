#include "station/station_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "job/job.h"
#include "session/operator_on_duty.h"

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

constexpr StationOption STATION_OPTIONS[] = {
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
    {"--serve", true,
     [](const char* value, StationOptions& o, std::string&) {
         o.serve = value;
         return true;
     }},
    {"--serve-name", true,
     [](const char* value, StationOptions& o, std::string&) {
         o.serve_names.emplace_back(value);
         return true;
     }},
    {"--operator", true,
     [](const char* value, StationOptions& o, std::string& error) {
         if (clean_operator_name(value, o.operator_name)) return true;
         error = "--operator takes the operator's name (1 to 255 characters, on one line)";
         return false;
     }},
    {"--work-order", true,
     [](const char* value, StationOptions& o, std::string& error) {
         if (clean_operator_name(value, o.work_order)) return true;
         error = "--work-order takes the order's name (1 to 255 characters, on one line)";
         return false;
     }},
    {"--name", true,
     [](const char* value, StationOptions& o, std::string& error) {
         o.name = value;
         if (!o.name.empty()) return true;
         error = "--name takes the station's name, not an empty one";
         return false;
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
    return apply_job_station(job, options, error);
}
