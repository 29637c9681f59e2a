#include "report/report_data.h"

#include <algorithm>
#include <cstdio>

#include "link/port_list.h"
#include "records/box_log.h"
#include "records/log_columns.h"
#include "records/csv_reader.h"

namespace {

constexpr std::int64_t HOUR_MS = std::int64_t{3600} * 1000;

// The columns the report reads stand in the same place in every header,
// those of the logs before jobs included.
using col::CRC32;
using col::ENDED;
using col::PORT;
using col::REASON;
using col::RESULT;
using col::STARTED;
using col::STATION;
static_assert(REASON < LOG_COLUMNS_BEFORE_JOBS && CRC32 < LOG_COLUMNS_BEFORE_JOBS,
              "the report reads old logs too");

// Days since 1970-01-01 of a date of the Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

bool digits(const std::string& text, std::size_t at, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

// One row read, counted in every group it belongs to.
void count_row(const std::vector<std::string>& row, std::size_t columns, std::int64_t started, std::int64_t ended,
               ReportData& data) {
    const std::string& result = row[RESULT];
    const bool completed = result == "completed";
    const bool interrupted = result == "interrupted";
    const std::int64_t hour = started / HOUR_MS;
    const auto seconds = static_cast<std::uint64_t>((ended - started + 500) / 1000);
    data.stations[row[STATION]].add(completed, interrupted, hour, seconds);
    data.ports[{row[STATION], port_name(row[PORT])}].add(completed, interrupted, hour, seconds);
    data.days[row[STARTED].substr(0, 10)].add(completed, interrupted, hour, seconds);
    data.images[row[CRC32]].add(completed, interrupted, hour, seconds);
    if (columns == LOG_COLUMN_COUNT) {
        data.operators[row[col::OPERATOR]].add(completed, interrupted, hour, seconds);
        data.orders[row[col::WORK_ORDER]].add(completed, interrupted, hour, seconds);
    }
    if (completed) {
        ++data.completed_by_hour[row[STATION]][ended / HOUR_MS];
    } else {
        ++data.reasons[row[REASON].empty() ? result : result + ": " + row[REASON]];
    }
    if (data.rows == 0 || started < data.first_ms) data.first_ms = started;
    if (data.rows == 0 || ended > data.last_ms) data.last_ms = ended;
    ++data.rows;
}

}  // namespace

bool parse_utc_ms(const std::string& text, std::int64_t& ms) {
    // 2026-12-09T05:40:12.345Z
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || text[23] != 'Z') {
        return false;
    }
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
        !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second) ||
        !digits(text, 20, 3, milli) || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60) {
        return false;
    }
    const std::int64_t days = days_from_civil(year, month, day);
    ms = ((days * 24 + hour) * 60 + minute) * 60000 + static_cast<std::int64_t>(second) * 1000 + milli;
    return true;
}

bool PortOrder::operator()(const std::pair<std::string, std::string>& a,
                           const std::pair<std::string, std::string>& b) const {
    if (a.first != b.first) return a.first < b.first;
    return natural_less(a.second, b.second);
}

std::string utc_date(std::int64_t ms) {
    // Days to a civil date (the inverse of days_from_civil).
    std::int64_t z = ms / 86400000 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(year), month, day);
    return text;
}

std::string port_name(const std::string& port) {
    switch (classify_port_argument(port.c_str())) {
    case PortArgument::Plain:
    case PortArgument::ComName:
        return "COM" + std::to_string(parse_port_name(port.c_str()).number);
    default:
        return port;
    }
}

void BoxCounts::add(bool completed_box, bool interrupted_box, std::int64_t hour, std::uint64_t box_seconds) {
    ++boxes;
    hours.insert(hour);
    if (completed_box) {
        ++completed;
        if (box_seconds >= seconds.size()) seconds.resize(box_seconds + 1, 0);
        ++seconds[box_seconds];
    } else if (interrupted_box) {
        ++interrupted;
    } else {
        ++failed;
    }
}

double BoxCounts::yield_percent() const {
    return boxes == 0 ? 0.0 : 100.0 * static_cast<double>(completed) / static_cast<double>(boxes);
}

double BoxCounts::failed_percent() const {
    return boxes == 0 ? 0.0 : 100.0 * static_cast<double>(failed) / static_cast<double>(boxes);
}

double BoxCounts::median_seconds() const {
    if (completed == 0) return -1;
    // The middle box (the lower of the two middle ones for an even count), and its neighbour above.
    const std::uint64_t lower = (completed - 1) / 2;
    const std::uint64_t upper = completed / 2;
    std::uint64_t seen = 0;
    double low = -1;
    for (std::size_t s = 0; s < seconds.size(); ++s) {
        seen += seconds[s];
        if (low < 0 && seen > lower) low = static_cast<double>(s);
        if (seen > upper) return (low + static_cast<double>(s)) / 2;
    }
    return low;
}

double BoxCounts::per_hour_running() const {
    return hours.empty() ? 0.0 : static_cast<double>(completed) / static_cast<double>(hours.size());
}

bool read_station_log(const std::string& path, ReportData& data, std::string& error, SkippedRow skipped_row,
                      void* context) {
    static const std::vector<std::string> with_job = log_header_names();
    static const std::vector<std::string> before_jobs =
        log_header_names(LOG_COLUMNS_BEFORE_JOBS);
    static const std::vector<std::string> before_approvals = log_header_names(LOG_COLUMNS_BEFORE_APPROVALS);
    CsvReader log;
    if (!log.open(path)) {
        error = "cannot be read";
        return false;
    }
    // A row torn inside a quoted field (a power cut) hides no row after it.
    log.resync_at(box_row_starts);
    std::vector<std::string> row;
    if (log.next(row) != CsvRow::Row || (row != with_job && row != before_jobs && row != before_approvals)) {
        error = "not a station log: its first line is not the header of stbload's results log";
        return false;
    }
    const std::size_t columns = row.size();
    auto skip = [&](const std::string& why) {
        ++data.skipped;
        if (skipped_row != nullptr) skipped_row(context, path, log.line(), why);
    };
    for (CsvRow got = log.next(row); got != CsvRow::End; got = log.next(row)) {
        if (got == CsvRow::Bad) {
            skip(log.why());
            continue;
        }
        if (row.size() != columns) {
            skip(std::to_string(row.size()) + " fields where the header has " + std::to_string(columns));
            continue;
        }
        std::int64_t started = 0;
        std::int64_t ended = 0;
        if (!parse_utc_ms(row[STARTED], started) || !parse_utc_ms(row[ENDED], ended) || ended < started) {
            skip("its times cannot be read");
            continue;
        }
        const std::string& result = row[RESULT];
        if (result.empty()) {
            skip("no result");
            continue;
        }
        count_row(row, columns, started, ended, data);
    }
    if (log.failed()) error = "could not be read to its end";
    return true;
}

std::vector<WeakPort> weak_ports(const ReportData& data) {
    std::vector<WeakPort> weak;
    for (const auto& [key, port] : data.ports) {
        const BoxCounts& station = data.stations.at(key.first);
        const std::uint64_t other_boxes = station.boxes - port.boxes;
        const std::uint64_t other_failed = station.failed - port.failed;
        if (port.failed < 3 || other_boxes == 0) continue;
        const double others = 100.0 * static_cast<double>(other_failed) / static_cast<double>(other_boxes);
        if (port.failed_percent() >= 3 * others) weak.push_back({key.first, key.second, port.boxes, port.failed, others});
    }
    return weak;
}
