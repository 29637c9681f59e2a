#include "station/station_screen.h"

#include <cstdio>
#include <algorithm>
#include <map>

#include "console/figures.h"

namespace {

// Keeps the end of a long name, where a device's number is.
std::string fit(const std::string& text, std::size_t width) {
    if (text.size() <= width) return text;
    return "~" + text.substr(text.size() - (width - 1));
}

std::string duration(double seconds) {
    char text[32];
    format_duration(seconds, text, sizeof text);
    return text;
}

std::string seconds_since(const PortView& port, double now) {
    return std::to_string(static_cast<long>(now - port.phase_start)) + " s";
}

// A row: the port, its device (or under a job its box's values), its state
// and its counts. The second column is as wide as the window allows.
constexpr int PORT_WIDTH = 10;
constexpr int ROW_STATE_WIDTH = 34;
constexpr int JOB_STATE_WIDTH = 30;
constexpr int COUNTS_WIDTH = 17;  // " %4u %6u %4u": DONE, FAILED, INT
constexpr int VALUES_INDENT = PORT_WIDTH + 1;

int second_column(const ScreenFrame& frame, int columns) {
    const int state = frame.numbers ? JOB_STATE_WIDTH : ROW_STATE_WIDTH;
    return std::max(16, columns - 1 - PORT_WIDTH - 1 - state - COUNTS_WIDTH - 1);
}

// A port in a cell of a line shared with others: name, state, done, failed
// and interrupted; under a job, name, state and its box's first number.
constexpr int CELL_WIDTH = 40;  // with the blank that parts it from the next
std::string port_cell(const PortView& port, double now, const ScreenFrame& frame) {
    char cell[128];
    const std::string state = port_state_brief(port, now, frame.waits).substr(0, 17);
    if (frame.numbers) {
        const std::string first = port.numbers.substr(port.numbers.find('=') + 1, port.numbers.find(' ') -
                                                                                      port.numbers.find('=') - 1);
        std::snprintf(cell, sizeof cell, "%-7s %-17s %-13s", fit(port.label, 7).c_str(), state.c_str(),
                      port.numbers.empty() ? "" : first.substr(0, 13).c_str());
    } else {
        std::snprintf(cell, sizeof cell, "%-7s %-17s %4u %4u %3u", fit(port.label, 7).c_str(), state.c_str(),
                      port.completed, port.failed, port.interrupted);
    }
    return cell;
}

// The ports in cells, `per_line` to a line, each cell in its port's colour.
void add_cells(std::vector<ScreenLine>& lines, const std::vector<const PortView*>& ports, double now, int per_line,
               const ScreenFrame& frame) {
    ScreenLine line;
    int in_line = 0;
    for (const PortView* port : ports) {
        if (in_line > 0) line.text += ' ';
        const std::string cell = port_cell(*port, now, frame);
        const Colour colour = port_colour(*port, now, frame.waits);
        if (colour != Colour::Default) line.spans.push_back({line.text.size(), cell.size(), colour});
        line.text += cell;
        if (++in_line == per_line) {
            lines.push_back(line);
            line = ScreenLine();
            in_line = 0;
        }
    }
    if (in_line > 0) lines.push_back(line);
}

std::string cell_titles(int per_line, bool numbers) {
    char title[128];
    if (numbers) {
        std::snprintf(title, sizeof title, "%-7s %-17s %-13s", "PORT", "STATE", "NUMBER");
    } else {
        std::snprintf(title, sizeof title, "%-7s %-17s %4s %4s %3s", "PORT", "STATE", "DONE", "FAIL", "INT");
    }
    std::string line;
    for (int i = 0; i < per_line; ++i) line += (i == 0 ? "" : " ") + std::string(title);
    return line;
}

// "28 more: 12 sending, 9 writing flash, 7 waiting for a box".
std::string others_by_state(const std::vector<const PortView*>& others, double now) {
    std::map<std::string, unsigned> count;
    std::vector<std::string> order;
    for (const PortView* port : others) {
        std::string state = port_state_brief(*port, now);
        state.resize(std::min(state.size(), state.find_first_of("0123456789")));  // the state without its figures
        while (!state.empty() && state.back() == ' ') state.pop_back();
        if (count[state]++ == 0) order.push_back(state);
    }
    std::string text = std::to_string(others.size()) + " more:";
    for (std::size_t i = 0; i < order.size(); ++i) {
        text += (i == 0 ? " " : ", ") + std::to_string(count[order[i]]) + " " + order[i];
    }
    return text;
}

// `text` in lines of at most `width` characters, cut at blanks where it can
// be, each after `indent` blanks: every character stays on the screen.
std::vector<std::string> wrapped(const std::string& text, std::size_t indent, std::size_t width) {
    std::vector<std::string> lines;
    const std::size_t room = width > indent ? width - indent : 1;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = std::min(text.size(), at + room);
        if (end < text.size()) {
            const std::size_t blank = text.rfind(' ', end);
            if (blank != std::string::npos && blank > at) end = blank;
        }
        lines.push_back(std::string(indent, ' ') + text.substr(at, end - at));
        at = end;
        while (at < text.size() && text[at] == ' ') ++at;
    }
    return lines;
}

// The ports a row each; under a job their values in the row where they fit,
// else on lines of their own below it.
std::vector<ScreenLine> port_rows(const ScreenFrame& frame, const std::vector<PortView>& ports, double now,
                                  int columns) {
    std::vector<ScreenLine> lines;
    const int second = second_column(frame, columns);
    const int state_width = frame.numbers ? JOB_STATE_WIDTH : ROW_STATE_WIDTH;
    const std::size_t width = columns > 1 ? static_cast<std::size_t>(columns - 1) : 1;
    char row[512];
    std::snprintf(row, sizeof row, "%-*s %-*s %-*s %4s %6s %4s", PORT_WIDTH, "PORT", second,
                  frame.numbers ? "NUMBERS" : "DEVICE", state_width, "STATE", "DONE", "FAILED", "INT");
    lines.emplace_back(row);
    for (const PortView& port : ports) {
        const Colour colour = port_colour(port, now, frame.waits);
        const std::string values = frame.numbers ? box_values(port) : std::string();
        const bool values_in_row = values.size() <= static_cast<std::size_t>(second);
        const std::string what = frame.numbers ? (values_in_row ? values : std::string()) : fit(port.device, 16);
        const std::string state = port_state_text(port, now, frame.waits);
        if (frame.numbers && what.empty()) {
            // No values in the row (none yet, or on lines of their own): the state takes their room too.
            const int wide = second + 1 + state_width;
            std::snprintf(row, sizeof row, "%-*s %-*s %4u %6u %4u", PORT_WIDTH, fit(port.label, PORT_WIDTH).c_str(),
                          wide, state.substr(0, static_cast<std::size_t>(wide)).c_str(), port.completed, port.failed,
                          port.interrupted);
        } else {
            std::snprintf(row, sizeof row, "%-*s %-*s %-*s %4u %6u %4u", PORT_WIDTH,
                          fit(port.label, PORT_WIDTH).c_str(), second, what.c_str(), state_width,
                          fit(state, static_cast<std::size_t>(state_width)).c_str(), port.completed, port.failed,
                          port.interrupted);
        }
        lines.emplace_back(row, colour);
        if (!values_in_row) {
            for (const std::string& line : wrapped(values, VALUES_INDENT, width)) lines.emplace_back(line, colour);
        }
    }
    return lines;
}

}  // namespace

StationTotals station_totals(const std::vector<PortView>& ports) {
    StationTotals totals;
    for (const PortView& port : ports) {
        totals.completed += port.completed;
        totals.failed += port.failed;
        totals.interrupted += port.interrupted;
        if (port.box_in_progress) ++totals.in_progress;
    }
    return totals;
}

std::string totals_text(const StationTotals& totals) {
    return std::to_string(totals.completed) + " completed, " + std::to_string(totals.failed) + " failed, " +
           std::to_string(totals.interrupted) + " interrupted";
}

std::string box_values(const PortView& port) {
    std::string values = port.numbers;
    if (!port.box_id.empty()) values += (values.empty() ? "" : " ") + std::string("box_id=") + port.box_id;
    return values;
}

bool waits_long(const PortView& port, double now, const LongWaits& waits) {
    const double waited = now - port.phase_start;
    switch (port.phase) {
    case PortPhase::Erasing: return waited > waits.erase_s;
    case PortPhase::FlashWrite: return waited > waits.flash_write_s;
    default: return false;
    }
}

std::string port_state_text(const PortView& port, double now, const LongWaits& waits) {
    switch (port.phase) {
    case PortPhase::Opening: return "opening";
    case PortPhase::CannotOpen: return port.reason;
    case PortPhase::Waiting: return "waiting for a box";
    case PortPhase::Erasing: return waits_long(port, now, waits) ? "erasing " + seconds_since(port, now) : "erasing";
    case PortPhase::Sending:
        return "sending " + std::to_string(port.percent) + "% " + duration(port.seconds_left) + " left";
    case PortPhase::FlashWrite: return "writing flash " + seconds_since(port, now);
    case PortPhase::BootCheck: return "checking boot " + seconds_since(port, now);
    case PortPhase::RemoveBox: return "remove the box (completed in " + duration(port.box_seconds) + ")";
    case PortPhase::Completed: return "completed in " + duration(port.box_seconds);
    case PortPhase::Failed: return std::string("failed: ") + outcome_word(port.outcome);
    case PortPhase::Interrupted: return "interrupted";
    case PortPhase::NumbersUsedUp: return "numbers used up: " + port.reason.substr(0, port.reason.find(' '));
    case PortPhase::NumbersWaiting: return "waiting for numbers: " + port.reason + ", " + seconds_since(port, now);
    case PortPhase::NotApproved: return port.reason;
    }
    return std::string();
}

std::string port_state_brief(const PortView& port, double now, const LongWaits& waits) {
    switch (port.phase) {
    case PortPhase::CannotOpen: return port.reason.rfind("lost", 0) == 0 ? "port lost" : "cannot open";
    case PortPhase::Waiting: return "waiting";
    case PortPhase::Sending: return "sending " + std::to_string(port.percent) + "% " + duration(port.seconds_left);
    case PortPhase::FlashWrite: return "flash write " + seconds_since(port, now);
    case PortPhase::RemoveBox: return "remove the box";
    case PortPhase::Failed: return "failed";
    case PortPhase::NumbersUsedUp: return "numbers used up";
    case PortPhase::NumbersWaiting: return "no numbers yet";
    case PortPhase::NotApproved: return "job revoked";
    default: return port_state_text(port, now, waits);
    }
}

Colour port_colour(const PortView& port, double now, const LongWaits& waits) {
    switch (port.phase) {
    case PortPhase::Completed: return Colour::Green;
    case PortPhase::RemoveBox: return port.outcome == BoxOutcome::Completed ? Colour::Green : Colour::Yellow;
    case PortPhase::Failed:
    case PortPhase::NotApproved:
    case PortPhase::NumbersUsedUp: return Colour::Red;
    case PortPhase::CannotOpen:
    case PortPhase::NumbersWaiting: return Colour::Yellow;
    default: return waits_long(port, now, waits) ? Colour::Yellow : Colour::Default;
    }
}

bool needs_operator(const PortView& port) {
    return port.phase == PortPhase::CannotOpen || port.phase == PortPhase::Failed ||
           port.phase == PortPhase::NumbersUsedUp || port.phase == PortPhase::NumbersWaiting ||
           port.phase == PortPhase::NotApproved;
}

std::vector<ScreenLine> station_screen(const ScreenFrame& frame, const std::vector<PortView>& ports, double now,
                                       int columns, int max_lines) {
    // Around the ports: the header, a line of titles, the totals, the log's trouble, the hint.
    const int room = max_lines - 3 - static_cast<int>(frame.header.size()) - (frame.hint.empty() ? 0 : 1);
    const int count = static_cast<int>(ports.size());
    std::vector<ScreenLine> lines(frame.header.begin(), frame.header.end());
    std::vector<ScreenLine> rows = port_rows(frame, ports, now, columns);
    if (static_cast<int>(rows.size()) - 1 <= room) {
        lines.insert(lines.end(), rows.begin(), rows.end());
    } else {
        const int per_line = columns >= 2 * CELL_WIDTH ? columns / CELL_WIDTH : 1;
        std::vector<const PortView*> all;
        all.reserve(ports.size());
        for (const PortView& port : ports) all.push_back(&port);
        lines.emplace_back(cell_titles(per_line, frame.numbers));
        if ((count + per_line - 1) / per_line <= room) {
            add_cells(lines, all, now, per_line, frame);
        } else {
            // Too many even so: those that need the operator, and a count of the rest.
            std::vector<const PortView*> attention;
            std::vector<const PortView*> others;
            for (const PortView* port : all) (needs_operator(*port) ? attention : others).push_back(port);
            const int cell_lines = room - 1 > 0 ? room - 1 : 0;
            const std::size_t shown = std::min(attention.size(), static_cast<std::size_t>(cell_lines * per_line));
            for (std::size_t i = shown; i < attention.size(); ++i) others.push_back(attention[i]);
            attention.resize(shown);
            add_cells(lines, attention, now, per_line, frame);
            if (!others.empty()) lines.emplace_back(others_by_state(others, now));
        }
    }
    if (frame.totals.empty()) {
        const StationTotals totals = station_totals(ports);
        lines.emplace_back("totals: " + totals_text(totals) + "; " + std::to_string(totals.in_progress) + " in progress");
    } else {
        lines.emplace_back(frame.totals);
    }
    lines.emplace_back(frame.log_trouble);
    if (!frame.hint.empty()) lines.emplace_back(frame.hint);
    if (static_cast<int>(lines.size()) > max_lines) lines.resize(static_cast<std::size_t>(max_lines > 0 ? max_lines : 0));
    return lines;
}
