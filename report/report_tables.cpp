#include "report/report_tables.h"

#include <algorithm>
#include <cstdio>

#include "console/figures.h"

namespace {

std::string thousands(std::uint64_t value) {
    char text[32];
    format_thousands(value, text, sizeof text);
    return text;
}

// A percentage with one decimal: "97.9 %".
std::string percent(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", value);
    return text;
}

// The same without a decimal that says nothing: "30 %", "1.8 %".
std::string short_percent(double value) {
    std::string text = percent(value);
    const std::size_t zero = text.find(".0 ");
    if (zero != std::string::npos) text.erase(zero, 2);
    return text;
}

std::string one_decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string median(const BoxCounts& counts) {
    const double seconds = counts.median_seconds();
    if (seconds < 0) return "-";
    char text[32];
    format_duration(seconds, text, sizeof text);
    return text;
}

std::vector<std::string> figures(const BoxCounts& counts) {
    return {thousands(counts.boxes), thousands(counts.completed), thousands(counts.failed),
            thousands(counts.interrupted), percent(counts.yield_percent()), median(counts),
            one_decimal(counts.per_hour_running())};
}

ReportTable group_table(const char* id, const std::string& title, const std::vector<std::string>& keys) {
    ReportTable table;
    table.id = id;
    table.title = title;
    table.columns = keys;
    for (const char* column : {"BOXES", "COMPLETED", "FAILED", "INTERRUPTED", "YIELD", "MEDIAN", "BOXES/H"}) {
        table.columns.emplace_back(column);
    }
    table.numeric.assign(keys.size(), false);
    table.numeric.resize(table.columns.size(), true);
    return table;
}

}  // namespace

std::vector<ReportTable> report_tables(const ReportData& data) {
    std::vector<ReportTable> tables;
    ReportTable stations = group_table("stations", "By station", {"STATION"});
    for (const auto& [name, counts] : data.stations) {
        stations.rows.push_back({name});
        for (std::string& figure : figures(counts)) stations.rows.back().push_back(std::move(figure));
    }
    tables.push_back(stations);
    ReportTable ports = group_table("ports", "By port", {"STATION", "PORT"});
    for (const auto& [key, counts] : data.ports) {
        ports.rows.push_back({key.first, key.second});
        for (std::string& figure : figures(counts)) ports.rows.back().push_back(std::move(figure));
    }
    tables.push_back(ports);
    ReportTable days = group_table("days", "By day (UTC)", {"DAY"});
    for (const auto& [day, counts] : data.days) {
        days.rows.push_back({day});
        for (std::string& figure : figures(counts)) days.rows.back().push_back(std::move(figure));
    }
    tables.push_back(days);
    ReportTable images = group_table("images", "By image", {"CRC-32"});
    for (const auto& [crc, counts] : data.images) {
        images.rows.push_back({crc});
        for (std::string& figure : figures(counts)) images.rows.back().push_back(std::move(figure));
    }
    tables.push_back(images);
    // Logs before operators and orders were named have none: no table for them.
    const struct {
        const char* id;
        const char* title;
        const char* key;
        const std::map<std::string, BoxCounts>& groups;
    } named[] = {{"operators", "By operator", "OPERATOR", data.operators},
                 {"orders", "By work order", "WORK ORDER", data.orders}};
    for (const auto& group : named) {
        if (group.groups.empty() || (group.groups.size() == 1 && group.groups.begin()->first.empty())) continue;
        ReportTable table = group_table(group.id, group.title, {group.key});
        for (const auto& [name, counts] : group.groups) {
            table.rows.push_back({name.empty() ? "(none)" : name});
            for (std::string& figure : figures(counts)) table.rows.back().push_back(std::move(figure));
        }
        tables.push_back(table);
    }
    ReportTable reasons;
    reasons.id = "reasons";
    reasons.title = "Failures by reason";
    reasons.columns = {"RESULT: REASON", "BOXES"};
    reasons.numeric = {false, true};
    for (const auto& [reason, count] : data.reasons) reasons.rows.push_back({reason, thousands(count)});
    tables.push_back(reasons);
    return tables;
}

std::string weak_port_line(const WeakPort& port) {
    return port.station + " " + port.port + ": " + std::to_string(port.failed) + " of " +
           std::to_string(port.boxes) + " boxes failed (" +
           short_percent(100.0 * static_cast<double>(port.failed) / static_cast<double>(port.boxes)) +
           "), the other ports " + short_percent(port.others_percent) + ": check its cable and adapter";
}

std::string report_summary(const ReportData& data, std::size_t logs) {
    std::string text = std::to_string(logs) + (logs == 1 ? " log, " : " logs, ") + thousands(data.rows) + " boxes";
    if (data.skipped > 0) text += " (" + thousands(data.skipped) + " rows skipped)";
    if (data.rows > 0) text += ", " + utc_date(data.first_ms) + " to " + utc_date(data.last_ms);
    return text;
}

std::string report_text(const ReportData& data, std::size_t logs) {
    std::string out = "report: " + report_summary(data, logs) + "\r\n";
    for (const ReportTable& table : report_tables(data)) {
        out += "\r\n" + table.title + "\r\n";
        std::vector<std::size_t> widths;
        for (const std::string& column : table.columns) widths.push_back(column.size());
        for (const auto& row : table.rows) {
            for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
        }
        auto line = [&](const std::vector<std::string>& cells) {
            std::string text;
            for (std::size_t c = 0; c < cells.size(); ++c) {
                const std::string pad(widths[c] - cells[c].size(), ' ');
                text += (c == 0 ? "" : "  ") + (table.numeric[c] ? pad + cells[c] : cells[c] + pad);
            }
            while (!text.empty() && text.back() == ' ') text.pop_back();
            return text + "\r\n";
        };
        out += line(table.columns);
        for (const auto& row : table.rows) out += line(row);
        if (table.rows.empty()) out += "(none)\r\n";
    }
    out += "\r\nWeak ports\r\n";
    const std::vector<WeakPort> weak = weak_ports(data);
    for (const WeakPort& port : weak) out += weak_port_line(port) + "\r\n";
    if (weak.empty()) out += "(none: no port fails three times as often as the others of its station)\r\n";
    return out;
}
