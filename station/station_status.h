// The station's status as /api/status gives it: one JSON document of the
// station, its image, each port and the totals, made from the same views the
// screen draws.
#pragma once

#include <string>
#include <vector>

#include "line/keeper.h"
#include "station/port_monitor.h"
#include "station/station_stats.h"

// What stays the same while the station runs.
struct StationFacts {
    std::string station;
    std::string job;  // the job file as given; empty: no job
    std::string file;
    std::string crc32;
    std::string sha256;
    std::string started;  // UTC
};

// The word for a port's state: "waiting", "answered", "erasing", "sending",
// "confirming", "writing flash", "checking boot", "waiting for numbers",
// "numbers used up", "remove the box", "port lost", "cannot open", "opening",
// "done".
const char* port_state(const PortView& view);

// `given`: each port as the log names it, in the views' order; `now`:
// monotonic seconds; `line`: the line's database, or null.
std::string status_json(const StationFacts& facts, const std::vector<PortView>& views,
                        const std::vector<std::string>& given, const StationStats& stats, double now,
                        const LineKeeper* line);
