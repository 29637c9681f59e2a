// What the station shows: on a terminal, a header, a row per port and the
// totals, redrawn in place; otherwise one line per event.
#pragma once

#include <string>
#include <vector>

#include "station/port_worker.h"

struct StationTotals {
    unsigned completed = 0;
    unsigned failed = 0;
    unsigned interrupted = 0;
    unsigned in_progress = 0;
};

StationTotals station_totals(const std::vector<PortView>& ports);

// The state of one port in words: "waiting for a box", "sending 45% 1:01 left".
std::string port_state_text(const PortView& port, double now);

// The lines of the terminal's screen: the header, the column titles, one row
// per port, the totals and a line for the log's trouble (empty if none).
std::vector<std::string> station_screen(const std::string& header, const std::vector<PortView>& ports, double now,
                                        const std::string& log_trouble);

// "3 completed, 1 failed, 0 interrupted".
std::string totals_text(const StationTotals& totals);
