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

// A port in a cell of a line shared with others: name, state, done, failed.
constexpr int CELL_WIDTH = 40;  // with the blank that parts it from the next
std::string port_cell(const PortView& port, double now) {
    char cell[128];
    std::snprintf(cell, sizeof cell, "%-8s %-20s %4u %4u", fit(port.label, 8).c_str(),
                  port_state_brief(port, now).substr(0, 20).c_str(), port.completed, port.failed + port.interrupted);
    return cell;
}

// The ports in cells, `per_line` to a line.
void add_cells(std::vector<std::string>& lines, const std::vector<const PortView*>& ports, double now, int per_line) {
    std::string line;
    int in_line = 0;
    for (const PortView* port : ports) {
        line += (in_line == 0 ? "" : " ") + port_cell(*port, now);
        if (++in_line == per_line) {
            lines.push_back(line);
            line.clear();
            in_line = 0;
        }
    }
    if (in_line > 0) lines.push_back(line);
}

std::string cell_titles(int per_line) {
    char title[128];
    std::snprintf(title, sizeof title, "%-8s %-20s %4s %4s", "PORT", "STATE", "DONE", "FAIL");
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
        state = state.substr(0, state.find_first_of("0123456789"));  // the state without its figures
        while (!state.empty() && state.back() == ' ') state.pop_back();
        if (count[state]++ == 0) order.push_back(state);
    }
    std::string text = std::to_string(others.size()) + " more:";
    for (std::size_t i = 0; i < order.size(); ++i) {
        text += (i == 0 ? " " : ", ") + std::to_string(count[order[i]]) + " " + order[i];
    }
    return text;
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

std::string port_state_text(const PortView& port, double now) {
    switch (port.phase) {
    case PortPhase::Opening: return "opening";
    case PortPhase::CannotOpen: return port.reason;
    case PortPhase::Waiting: return "waiting for a box";
    case PortPhase::Erasing: return "erasing";
    case PortPhase::Sending:
        return "sending " + std::to_string(port.percent) + "% " + duration(port.seconds_left) + " left";
    case PortPhase::FlashWrite: return "writing flash " + seconds_since(port, now);
    case PortPhase::RemoveBox: return "remove the box (completed in " + duration(port.box_seconds) + ")";
    case PortPhase::Completed: return "completed in " + duration(port.box_seconds);
    case PortPhase::Failed: return "failed: lost connection";
    case PortPhase::Interrupted: return "interrupted";
    }
    return std::string();
}

std::string port_state_brief(const PortView& port, double now) {
    switch (port.phase) {
    case PortPhase::CannotOpen: return port.reason.rfind("lost", 0) == 0 ? "port lost" : "cannot open";
    case PortPhase::Waiting: return "waiting";
    case PortPhase::Sending: return "sending " + std::to_string(port.percent) + "% " + duration(port.seconds_left);
    case PortPhase::RemoveBox: return "remove the box";
    case PortPhase::Failed: return "failed";
    default: return port_state_text(port, now);
    }
}

bool needs_operator(const PortView& port) {
    return port.phase == PortPhase::CannotOpen || port.phase == PortPhase::Failed;
}

std::vector<std::string> station_screen(const std::string& header, const std::vector<PortView>& ports, double now,
                                        const std::string& log_trouble, int columns, int max_lines) {
    const StationTotals totals = station_totals(ports);
    const std::string totals_line =
        "totals: " + totals_text(totals) + "; " + std::to_string(totals.in_progress) + " in progress";
    // Around the ports: the header, a line of titles, the totals, the log's trouble.
    const int room = max_lines - 4;
    const int count = static_cast<int>(ports.size());
    std::vector<std::string> lines;
    lines.push_back(header);
    if (count <= room) {
        char row[256];
        std::snprintf(row, sizeof row, "%-10s %-16s %-38s %4s %6s", "PORT", "DEVICE", "STATE", "DONE", "FAILED");
        lines.emplace_back(row);
        for (const PortView& port : ports) {
            std::snprintf(row, sizeof row, "%-10s %-16s %-38s %4u %6u", fit(port.label, 10).c_str(),
                          fit(port.device, 16).c_str(), fit(port_state_text(port, now), 38).c_str(),
                          port.completed, port.failed + port.interrupted);
            lines.emplace_back(row);
        }
    } else {
        const int per_line = columns >= 2 * CELL_WIDTH ? columns / CELL_WIDTH : 1;
        std::vector<const PortView*> all;
        for (const PortView& port : ports) all.push_back(&port);
        lines.push_back(cell_titles(per_line));
        if ((count + per_line - 1) / per_line <= room) {
            add_cells(lines, all, now, per_line);
        } else {
            // Too many even so: those that need the operator, and a count of the rest.
            std::vector<const PortView*> attention;
            std::vector<const PortView*> others;
            for (const PortView* port : all) (needs_operator(*port) ? attention : others).push_back(port);
            const int cell_lines = room - 1 > 0 ? room - 1 : 0;
            const std::size_t shown = std::min(attention.size(), static_cast<std::size_t>(cell_lines * per_line));
            for (std::size_t i = shown; i < attention.size(); ++i) others.push_back(attention[i]);
            attention.resize(shown);
            add_cells(lines, attention, now, per_line);
            if (!others.empty()) lines.push_back(others_by_state(others, now));
        }
    }
    lines.push_back(totals_line);
    lines.push_back(log_trouble);
    if (static_cast<int>(lines.size()) > max_lines) lines.resize(static_cast<std::size_t>(max_lines > 0 ? max_lines : 0));
    return lines;
}
