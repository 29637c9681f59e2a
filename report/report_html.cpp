#include "report/report_html.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report/report_tables.h"

namespace {

constexpr std::int64_t HOUR_MS = std::int64_t{3600} * 1000;

constexpr char PAGE_START[] = "<!DOCTYPE html>\n";

// Stations' lines in the chart: a colour each, in turn.
const char* const PALETTE[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#7f7f7f"};

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// "2026-12-09 05:00" for an hour since 1970, UTC.
std::string hour_text(std::int64_t hour) {
    char text[16];
    std::snprintf(text, sizeof text, " %02d:00", static_cast<int>(hour % 24));
    return utc_date(hour * HOUR_MS) + text;
}

std::string table_html(const ReportTable& table, const std::string& id) {
    std::string html = "<h2>" + escaped(table.title) + "</h2>\n<table id=\"" + id + "\">\n<tr>";
    for (const std::string& column : table.columns) html += "<th>" + escaped(column) + "</th>";
    html += "</tr>\n";
    for (const auto& row : table.rows) {
        html += "<tr>";
        for (std::size_t c = 0; c < row.size(); ++c) {
            html += std::string(table.numeric[c] ? "<td class=\"n\">" : "<td>") + escaped(row[c]) + "</td>";
        }
        html += "</tr>\n";
    }
    return html + "</table>\n";
}

// Boxes completed per hour over time, a line per station.
std::string hourly_chart(const ReportData& data) {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::uint64_t most = 1;
    bool any = false;
    for (const auto& [station, hours] : data.completed_by_hour) {
        for (const auto& [hour, boxes] : hours) {
            first = any ? std::min(first, hour) : hour;
            last = any ? std::max(last, hour) : hour;
            most = std::max(most, boxes);
            any = true;
        }
    }
    const double width = 900;
    const double height = 260;
    const double left = 50;
    const double top = 20;
    const double span = static_cast<double>(std::max<std::int64_t>(last - first, 1));
    std::string svg = "<svg id=\"hourly\" xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"330\" "
                      "role=\"img\" aria-label=\"boxes completed per hour\">\n";
    svg += "<line x1=\"50\" y1=\"280\" x2=\"950\" y2=\"280\" stroke=\"#444\"/>"
           "<line x1=\"50\" y1=\"20\" x2=\"50\" y2=\"280\" stroke=\"#444\"/>\n";
    svg += "<text x=\"44\" y=\"24\" text-anchor=\"end\" font-size=\"11\">" + std::to_string(most) +
           "</text><text x=\"44\" y=\"284\" text-anchor=\"end\" font-size=\"11\">0</text>\n";
    std::size_t colour = 0;
    double legend = top;
    for (const auto& [station, hours] : data.completed_by_hour) {
        const char* stroke = PALETTE[colour++ % (sizeof PALETTE / sizeof PALETTE[0])];
        std::string points;
        // Every hour from the first to the last, those without a box at 0.
        for (std::int64_t hour = first; hour <= last; ++hour) {
            const auto found = hours.find(hour);
            const double boxes = found == hours.end() ? 0.0 : static_cast<double>(found->second);
            points += number(left + width * static_cast<double>(hour - first) / span) + "," +
                      number(top + height - height * boxes / static_cast<double>(most)) + " ";
        }
        svg += "<polyline class=\"station\" data-station=\"" + escaped(station) + "\" fill=\"none\" stroke=\"" +
               stroke + "\" stroke-width=\"1.5\" points=\"" + points + "\"/>\n";
        svg += "<text x=\"960\" y=\"" + number(legend + 10) + "\" font-size=\"11\" fill=\"" + stroke + "\">" +
               escaped(station) + "</text>\n";
        legend += 14;
    }
    svg += "<text x=\"50\" y=\"296\" font-size=\"11\">" + hour_text(first) + "</text><text x=\"950\" y=\"296\" "
           "text-anchor=\"end\" font-size=\"11\">" + hour_text(last) + "</text>\n";
    svg += "<text x=\"500\" y=\"318\" text-anchor=\"middle\" font-size=\"12\">boxes completed in each hour (UTC), "
           "from the first to the last</text>\n";
    return svg + "</svg>\n";
}

// The yield of each port as a bar; weak ports in red, and named so.
std::string yield_chart(const ReportData& data, const std::vector<WeakPort>& weak) {
    const double row = 18;
    const double height = row * static_cast<double>(data.ports.size()) + 30;
    std::string svg = "<svg id=\"yield\" xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"" +
                      number(height) + "\" role=\"img\" aria-label=\"yield by port\">\n";
    double y = 10;
    for (const auto& [key, counts] : data.ports) {
        const std::string& station = key.first;
        const std::string& port = key.second;
        const bool is_weak = std::any_of(weak.begin(), weak.end(), [&](const WeakPort& w) {
            return w.station == station && w.port == port;
        });
        const std::string name = key.first + " " + key.second;
        const double length = 600 * counts.yield_percent() / 100;
        svg += "<text x=\"240\" y=\"" + number(y + 12) + "\" text-anchor=\"end\" font-size=\"11\">" + escaped(name) +
               "</text>";
        svg += "<rect class=\"" + std::string(is_weak ? "bar weak" : "bar") + "\" data-port=\"" + escaped(name) +
               "\" data-yield=\"" + number(counts.yield_percent()) + "\" x=\"250\" y=\"" + number(y) +
               "\" width=\"" + number(length) + "\" height=\"" + number(row - 4) + "\" fill=\"" +
               (is_weak ? "#d62728" : "#2ca02c") + "\"/>";
        svg += "<text x=\"" + number(256 + length) + "\" y=\"" + number(y + 12) + "\" font-size=\"11\">" +
               number(counts.yield_percent()) + " %" + (is_weak ? " weak: check its cable and adapter" : "") +
               "</text>\n";
        y += row;
    }
    return svg + "</svg>\n";
}

// The completed boxes' times, in bins.
std::string time_histogram(const ReportData& data) {
    std::vector<std::uint64_t> all;
    for (const auto& [name, counts] : data.stations) {
        if (counts.seconds.size() > all.size()) all.resize(counts.seconds.size(), 0);
        for (std::size_t s = 0; s < counts.seconds.size(); ++s) all[s] += counts.seconds[s];
    }
    const std::size_t bins = 30;
    const std::size_t longest = all.empty() ? 1 : all.size();
    const std::size_t bin_seconds = std::max<std::size_t>(1, (longest + bins - 1) / bins);
    std::vector<std::uint64_t> counts(bins, 0);
    for (std::size_t s = 0; s < all.size(); ++s) counts[std::min(bins - 1, s / bin_seconds)] += all[s];
    const std::uint64_t most = std::max<std::uint64_t>(1, *std::max_element(counts.begin(), counts.end()));
    std::string svg = "<svg id=\"times\" xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"300\" "
                      "role=\"img\" aria-label=\"box times\">\n"
                      "<line x1=\"50\" y1=\"250\" x2=\"950\" y2=\"250\" stroke=\"#444\"/>\n";
    for (std::size_t b = 0; b < bins; ++b) {
        const double height = 220.0 * static_cast<double>(counts[b]) / static_cast<double>(most);
        svg += "<rect class=\"bin\" data-from-s=\"" + std::to_string(b * bin_seconds) + "\" data-boxes=\"" +
               std::to_string(counts[b]) + "\" x=\"" + number(52 + 30.0 * static_cast<double>(b)) + "\" y=\"" +
               number(250 - height) + "\" width=\"26\" height=\"" + number(height) + "\" fill=\"#1f77b4\"/>\n";
    }
    svg += "<text x=\"50\" y=\"268\" font-size=\"11\">0 s</text><text x=\"950\" y=\"268\" text-anchor=\"end\" "
           "font-size=\"11\">" + std::to_string(bins * bin_seconds) + " s</text>\n"
           "<text x=\"500\" y=\"290\" text-anchor=\"middle\" font-size=\"12\">a box's time, first loader line to its "
           "end, in bins of " + std::to_string(bin_seconds) + " s; " + std::to_string(most) +
           " boxes at the top</text>\n";
    return svg + "</svg>\n";
}

}  // namespace

bool is_report_page(const std::string& start) {
    return start.rfind(PAGE_START, 0) == 0 &&
           start.substr(0, REPORT_PAGE_MARK_WITHIN).find(REPORT_PAGE_MARK) != std::string::npos;
}

std::string report_html(const ReportData& data, std::size_t logs) {
    const std::vector<WeakPort> weak = weak_ports(data);
    std::string html =
        std::string(PAGE_START) + "<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n" + REPORT_PAGE_MARK +
        "\n<title>stbload report</title>\n"
        "<style>\nbody { font-family: sans-serif; margin: 2em; color: #222; }\n"
        "table { border-collapse: collapse; margin-bottom: 1.5em; }\n"
        "th, td { border: 1px solid #ccc; padding: 0.2em 0.6em; }\nth { background: #eee; text-align: left; }\n"
        "td.n { text-align: right; font-variant-numeric: tabular-nums; }\n.weak { color: #d62728; }\n</style>\n"
        "</head>\n<body>\n<h1>stbload report</h1>\n<p id=\"summary\">" +
        escaped(report_summary(data, logs)) + "</p>\n";
    html += "<h2>Weak ports</h2>\n<ul id=\"weak\">\n";
    for (const WeakPort& port : weak) html += "<li class=\"weak\">" + escaped(weak_port_line(port)) + "</li>\n";
    if (weak.empty()) html += "<li>none: no port fails three times as often as the others of its station</li>\n";
    html += "</ul>\n<h2>Boxes completed per hour</h2>\n" + hourly_chart(data);
    html += "<h2>Yield by port</h2>\n" + yield_chart(data, weak);
    html += "<h2>Box times</h2>\n" + time_histogram(data);
    for (const ReportTable& table : report_tables(data)) html += table_html(table, table.id);
    return html + "</body>\n</html>\n";
}
