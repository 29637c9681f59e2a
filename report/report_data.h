// What the report reads out of station logs: the boxes counted by station,
// port, day and image, the failures by reason, and what the charts draw.
// Read as a stream: nothing grows with the number of rows but the counts
// (a box's time is counted in whole seconds).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

// The boxes of one group (a station, a port, a day, an image).
struct BoxCounts {
    std::uint64_t boxes = 0;
    std::uint64_t completed = 0;
    std::uint64_t failed = 0;       // every end but completed and interrupted
    std::uint64_t interrupted = 0;
    std::vector<std::uint64_t> seconds;     // completed boxes by their time in whole seconds
    std::unordered_set<std::int64_t> hours;  // the UTC hours in which the group had a box

    void add(bool completed_box, bool interrupted_box, std::int64_t hour, std::uint64_t box_seconds);
    double yield_percent() const;      // completed of all boxes
    double failed_percent() const;     // failed of all boxes
    double median_seconds() const;     // of the completed boxes; negative without one
    double per_hour_running() const;   // completed boxes per hour in which the group had any
};

// A port of a station whose failure rate stands out.
struct WeakPort {
    std::string station;
    std::string port;
    std::uint64_t boxes;
    std::uint64_t failed;
    double others_percent;  // the failure rate of the station's other ports
};

// (station, port) in the order people count ports: COM3 before COM11.
struct PortOrder {
    bool operator()(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) const;
};

// The reasons are those of every box not completed, interrupted ones too
// ("interrupted: the station was stopped").
struct ReportData {
    std::map<std::string, BoxCounts> stations;
    std::map<std::pair<std::string, std::string>, BoxCounts, PortOrder> ports;  // (station, port)
    std::map<std::string, BoxCounts> days;                           // "2026-12-09", UTC
    std::map<std::string, BoxCounts> images;                         // "0x5E1F0C27"
    std::map<std::string, BoxCounts> operators;                      // of the logs that name them ("" for none)
    std::map<std::string, BoxCounts> orders;                         // work orders, likewise
    std::map<std::string, std::uint64_t> reasons;                    // "lost connection: the device hung up"
    std::map<std::string, std::map<std::int64_t, std::uint64_t>> completed_by_hour;  // station: hour: boxes
    std::uint64_t rows = 0;
    std::uint64_t skipped = 0;
    std::int64_t first_ms = 0;  // the earliest start and the latest end read (ms since 1970, UTC)
    std::int64_t last_ms = 0;
};

// Reads one station log into `data`. A row that cannot be read is skipped,
// counted, and handed to `skipped_row` (its line and why); reading goes on
// at the next line that starts a row, even past a quote a torn row left
// open. A file that is no station log is refused with `error` (false).
using SkippedRow = void (*)(void* context, const std::string& file, std::uint64_t line, const std::string& why);
bool read_station_log(const std::string& path, ReportData& data, std::string& error, SkippedRow skipped_row,
                      void* context);

// The ports whose failures are at least three times the rate of the other
// ports of their station, with at least three failures.
std::vector<WeakPort> weak_ports(const ReportData& data);

// "2026-12-09T05:40:12.345Z" as milliseconds since 1970, UTC; false for anything else.
bool parse_utc_ms(const std::string& text, std::int64_t& ms);

// The UTC date of `ms` since 1970: "2026-12-09".
std::string utc_date(std::int64_t ms);

// A port as people name it: "COM7" for "7", "com7" and "COM7" alike (one
// port, whichever way PORTS gave it), else as it is.
std::string port_name(const std::string& port);
