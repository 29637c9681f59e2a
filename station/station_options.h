// The station's command line: stbload --station PORTS HEXFILE [--log FILE]
// [--continuous [--rearm-quiet SECONDS]], or under a job, stbload --job JOB
// --station [PORTS] [--log FILE] [--continuous [--rearm-quiet SECONDS]],
// where the command line's values take the place of the job's.
#pragma once

#include <string>
#include <vector>

#include "session/station_plan.h"

struct StationOptions : StationPlan {
    std::string hex_path;
    std::string job_path;    // --job, if given
    std::string operator_name;  // --operator, if given (else STBLOAD_OPERATOR)
    std::string work_order;     // --work-order, if given (else the job's)
    std::string events_path; // --events: JSON lines to this file, or "-" for standard output
    bool bell = true;        // --no-bell turns the bell for a failed box off
};

// Reads the arguments after "--station" (and "--job JOB" among them). False,
// with `error` saying why in words, for a command line that cannot be run.
// The options are in one table, in station_options.cpp.
bool parse_station_options(int argc, char** argv, StationOptions& options, std::string& error);

// Takes the job's image and its [station] defaults where the command line
// gave none. False, with `error` naming the job's key, when its ports cannot
// be used.
bool apply_job(const Job& job, StationOptions& options, std::string& error);
