#include "station/station_screen.h"

#include <cstdio>

#include "link/transfer_progress.h"

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
    case PortPhase::FlashWrite:
        return "writing flash " + std::to_string(static_cast<long>(now - port.phase_start)) + " s";
    case PortPhase::RemoveBox: return "remove the box (completed in " + duration(port.box_seconds) + ")";
    case PortPhase::Completed: return "completed in " + duration(port.box_seconds);
    case PortPhase::Failed: return "failed: lost connection";
    case PortPhase::Interrupted: return "interrupted";
    }
    return std::string();
}

std::vector<std::string> station_screen(const std::string& header, const std::vector<PortView>& ports, double now,
                                        const std::string& log_trouble) {
    std::vector<std::string> lines;
    lines.push_back(header);
    char row[256];
    std::snprintf(row, sizeof row, "%-10s %-16s %-38s %4s %6s", "PORT", "DEVICE", "STATE", "DONE", "FAILED");
    lines.emplace_back(row);
    for (const PortView& port : ports) {
        std::snprintf(row, sizeof row, "%-10s %-16s %-38s %4u %6u", fit(port.label, 10).c_str(),
                      fit(port.device, 16).c_str(), fit(port_state_text(port, now), 38).c_str(), port.completed,
                      port.failed + port.interrupted);
        lines.emplace_back(row);
    }
    const StationTotals totals = station_totals(ports);
    lines.push_back("totals: " + totals_text(totals) + "; " + std::to_string(totals.in_progress) + " in progress");
    lines.push_back(log_trouble);
    return lines;
}
