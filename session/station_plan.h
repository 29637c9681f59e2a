// What a station runs with, as its command line and its job's [station]
// defaults give it: the ports, the log, the mode and a box's limits. The
// station and --job JOB --check make it the same way, so that a check
// promises what the station will manage.
#pragma once

#include <string>
#include <vector>

#include "link/port_name.h"
#include "job/job.h"

// One port of the station, as PORTS gives it.
struct StationPort {
    std::string given;  // the entry as written ("7", "COM3", "usb:A12345"); one number of a range
    PortName name;
    std::string label;  // its name in messages: "COM7"
};

// The most ports one station runs.
constexpr std::size_t STATION_PORTS_MAX = 32;

struct StationPlan {
    std::vector<StationPort> ports;
    std::string ports_text;  // PORTS as given
    std::string log_path = "stbload-station.csv";
    bool continuous = false;
    double rearm_quiet_s = 3.0;
    bool strict = false;     // a hex file with warnings is refused
    // How long a box may keep its port.
    double stall_s = 30;
    double flash_write_max_s = 600;
    // Given on the command line: they go before the job's.
    bool log_given = false;
    bool rearm_given = false;
    bool stall_given = false;
    bool flash_write_max_given = false;
    // The station's name and web server: the command line's, else the job's.
    std::string name;                      // empty: the host name
    std::string serve;                     // "[ADDR:]PORT"; empty: no server
    std::vector<std::string> serve_names;  // more names the server answers to
};

// Splits PORTS at its commas: each entry is what a single download takes as
// PORT, or a range of COM numbers ("7-12"). False, with `error` naming the
// entry, for an empty entry, a backwards range, more than STATION_PORTS_MAX
// ports, or an entry that names no port ("COM7-9", " 5", "ttyUSB0", "7-").
bool parse_station_ports(const char* text, std::vector<StationPort>& ports, std::string& error);

// True, with `error` naming them, when two entries name one port: the same
// entry twice, or two names for one device ("3,COM3").
bool find_port_named_twice(const std::vector<StationPort>& ports, std::string& error);

// Takes the job's [station] defaults where the command line gave none.
// False, with `error` naming the job's key, when its ports cannot be used.
bool apply_job_station(const Job& job, StationPlan& plan, std::string& error);
