// What the station shows: on a terminal, a header, the ports and the totals,
// redrawn in place and never more lines than the window holds; otherwise one
// line per event.
#pragma once

#include <string>
#include <vector>

#include "console/screen_block.h"
#include "station/port_monitor.h"

struct StationTotals {
    unsigned completed = 0;
    unsigned failed = 0;
    unsigned interrupted = 0;
    unsigned in_progress = 0;
};

StationTotals station_totals(const std::vector<PortView>& ports);

// "3 completed, 1 failed, 0 interrupted".
std::string totals_text(const StationTotals& totals);

// How long an erase and a flash write may take before the screen calls the
// wait long (see StationStats).
struct LongWaits {
    double erase_s = 30;
    double flash_write_s = 60;
};

// The port's box has waited longer than usual in its erase or flash write.
bool waits_long(const PortView& port, double now, const LongWaits& waits);

// The state of one port in words: "waiting for a box", "sending 45% 1:01
// left", "erasing 45 s" (a long erase says how long).
std::string port_state_text(const PortView& port, double now, const LongWaits& waits = LongWaits{});

// The same, short enough for a port among several on one line: "sending 45% 1:01".
std::string port_state_brief(const PortView& port, double now, const LongWaits& waits = LongWaits{});

// What a person labels the box with: its numbers and its own id
// ("serial=STB000000123 mac=00:1A:2B:00:00:07 box_id=A1B2C3"); empty if none.
std::string box_values(const PortView& port);

// Whether the port waits for the operator: it cannot be opened, its box
// failed, its numbers are used up, or none are at hand.
bool needs_operator(const PortView& port);

// A port's colour: green for a box that completed (and the remove-the-box
// that follows), red for a failed one or numbers used up, yellow where the
// operator is waited for (cannot open, remove a box that failed, no numbers
// at hand) and for a wait longer than usual.
Colour port_colour(const PortView& port, double now = 0, const LongWaits& waits = LongWaits{});

// What the screen shows besides the ports.
struct ScreenFrame {
    std::vector<std::string> header;  // the file, its CRC-32 and the log; under a job, the numbers left
    bool numbers = false;             // under a job: each port shows its box's values and id
    std::string totals;               // the totals line
    std::string log_trouble;          // a line for the log's trouble; empty if none
    std::string hint;                 // the last line: how to reset a port, or what is being typed
    LongWaits waits;
};

// The lines of the terminal's screen, at most `max_lines` of them, none
// wider than `columns` - 1: the header, the ports, the totals, the log's
// trouble and the hint. The ports get a row each where that fits (under a
// job with a line of their own for the box's values where the row cannot
// hold them); else several to a line; else the ports that need the operator
// and a count of the others by state.
std::vector<ScreenLine> station_screen(const ScreenFrame& frame, const std::vector<PortView>& ports, double now,
                                       int columns, int max_lines);
