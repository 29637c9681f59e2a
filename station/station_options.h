// The station's command line: stbload --station PORTS HEXFILE [--log FILE]
// [--continuous [--rearm-quiet SECONDS]], or under a job, stbload --job JOB
// --station [PORTS] [--log FILE] [--continuous [--rearm-quiet SECONDS]],
// where the command line's values take the place of the job's.
#pragma once

#include <string>
#include <vector>

#include "link/port_name.h"

// One port of the station, as PORTS gives it.
struct StationPort {
    std::string given;  // the entry as written ("7", "COM3", "usb:A12345"); one number of a range
    PortName name;
    std::string label;  // its name in messages: "COM7"
};

struct StationOptions {
    std::vector<StationPort> ports;
    std::string ports_text;  // PORTS as given
    std::string hex_path;
    std::string job_path;    // --job, if given
    std::string log_path = "stbload-station.csv";
    bool continuous = false;
    double rearm_quiet_s = 3.0;
    bool log_given = false;  // on the command line: it goes before the job's
    bool rearm_given = false;
    std::string events_path; // --events: JSON lines to this file, or "-" for standard output
    bool bell = true;        // --no-bell turns the bell for a failed box off
    bool strict = false;     // --strict: a hex file with warnings is refused
    // --stall S and --flash-write-max S: how long a box may keep its port.
    double stall_s = 30;
    double flash_write_max_s = 600;
    bool stall_given = false;
    bool flash_write_max_given = false;
};

struct Job;

// The most ports one station runs.
constexpr std::size_t STATION_PORTS_MAX = 32;

// Reads the arguments after "--station" (and "--job JOB" among them). False,
// with `error` saying why in words, for a command line that cannot be run.
// The options are in one table, in station_options.cpp.
bool parse_station_options(int argc, char** argv, StationOptions& options, std::string& error);

// Takes the job's image and its [station] defaults where the command line
// gave none. False, with `error` naming the job's key, when its ports cannot
// be used.
bool apply_job(const Job& job, StationOptions& options, std::string& error);

// Splits PORTS at its commas: each entry is what a single download takes as
// PORT, or a range of COM numbers ("7-12"). False, with `error` naming the
// entry, for an empty entry, a backwards range, more than STATION_PORTS_MAX
// ports, or an entry that names no port ("COM7-9", " 5", "ttyUSB0", "7-").
bool parse_station_ports(const char* text, std::vector<StationPort>& ports, std::string& error);
