#include "report/line_figures.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "console/clock.h"
#include "job/unique_value.h"
#include "link/port_list.h"
#include "report/report_data.h"

namespace {

constexpr std::int64_t MINUTE_MS = std::int64_t{60} * 1000;
constexpr std::int64_t HOUR_MS = 60 * MINUTE_MS;
constexpr std::int64_t DAY_MS = 24 * HOUR_MS;

std::string log_time_at(std::int64_t ms) {
    char text[32];
    format_utc(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)), text, sizeof text);
    return text;
}

nlohmann::json fraction(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return nullptr;
    return static_cast<double>(part) / static_cast<double>(whole);
}

nlohmann::json spell(std::uint64_t boxes, std::uint64_t completed) {
    return {{"boxes", boxes}, {"completed", completed}, {"yield", fraction(completed, boxes)}};
}

struct StationSum {
    std::string last_row;
    std::int64_t last_ms = 0;
    std::uint64_t hour_boxes = 0, hour_completed = 0, today_boxes = 0, today_completed = 0;
    std::vector<const PortFigures*> ports;
};

nlohmann::json pool_figures(const Job& job, const LineReading& reading) {
    nlohmann::json pool = nlohmann::json::object();
    for (const UniqueField& field : job.unique) {
        std::uint64_t next = field.first;
        for (const auto& [name, value] : reading.next) {
            if (name == field.name && value > field.first) next = value;
        }
        const std::uint64_t size = field.last - field.first + 1;
        const std::uint64_t given = std::min(next - field.first, size);
        pool[field.name] = {{"given", given},
                            {"left", size - given},
                            {"next", next > field.last ? nlohmann::json(nullptr) : nlohmann::json(unique_text(field, next))}};
    }
    return pool;
}

nlohmann::json weak_port_figures(const LineReading& reading) {
    ReportData data;
    for (const PortFigures& port : reading.ports) {
        BoxCounts counts;
        counts.boxes = port.boxes;
        counts.completed = port.completed;
        counts.interrupted = port.interrupted;
        counts.failed = port.boxes - std::min(port.boxes, port.completed + port.interrupted);
        BoxCounts& station = data.stations[port.station];
        station.boxes += counts.boxes;
        station.completed += counts.completed;
        station.interrupted += counts.interrupted;
        station.failed += counts.failed;
        data.ports[{port.station, port.port}] = counts;
    }
    nlohmann::json weak = nlohmann::json::array();
    for (const WeakPort& port : weak_ports(data)) {
        weak.push_back({{"station", port.station},
                        {"port", port.port},
                        {"boxes", port.boxes},
                        {"failed", port.failed},
                        {"others_failed", port.others_percent / 100}});
    }
    return weak;
}

}  // namespace

LineWindow line_window(std::int64_t now_ms) {
    return LineWindow{log_time_at(now_ms - DAY_MS), log_time_at(now_ms - now_ms % DAY_MS), log_time_at(now_ms - HOUR_MS)};
}

nlohmann::json line_document(const Job& job, const LineReading& reading, std::int64_t now_ms) {
    std::map<std::string, StationSum> stations;
    for (const PortFigures& port : reading.ports) {
        StationSum& station = stations[port.station];
        std::int64_t ended = 0;
        if (parse_utc_ms(port.last_ended, ended) && (station.last_row.empty() || ended > station.last_ms)) {
            station.last_ms = ended;
            station.last_row = port.last_ended;
        }
        station.hour_boxes += port.hour_boxes;
        station.hour_completed += port.hour_completed;
        station.today_boxes += port.today_boxes;
        station.today_completed += port.today_completed;
        station.ports.push_back(&port);
    }
    // Quiet only beside a station that is not: a line at rest marks no one.
    bool any_busy = false;
    for (const auto& [name, station] : stations) any_busy = any_busy || now_ms - station.last_ms < QUIET_AFTER_MS;
    nlohmann::json list = nlohmann::json::array();
    for (auto& [name, station] : stations) {
        std::sort(station.ports.begin(), station.ports.end(), [](const PortFigures* a, const PortFigures* b) {
            return natural_less(a->port, b->port);
        });
        nlohmann::json ports = nlohmann::json::array();
        for (const PortFigures* port : station.ports) {
            ports.push_back({{"port", port->port},
                             {"last_result", port->last_result},
                             {"last_reason", port->last_reason},
                             {"last_ended", port->last_ended}});
        }
        const std::int64_t silent_ms = now_ms - station.last_ms;
        const bool quiet = any_busy && silent_ms >= QUIET_AFTER_MS;
        list.push_back({{"station", name},
                        {"last_row", station.last_row},
                        {"hour", spell(station.hour_boxes, station.hour_completed)},
                        {"today", spell(station.today_boxes, station.today_completed)},
                        {"quiet_min", quiet ? nlohmann::json(silent_ms / MINUTE_MS) : nlohmann::json(nullptr)},
                        {"ports", ports}});
    }
    return {{"stations", list}, {"pool", pool_figures(job, reading)}, {"weak_ports", weak_port_figures(reading)}};
}
