// The line view's one query: each port's boxes of the window and its last
// row, and the pool's ranges, read together so that a refresh costs the
// server one statement whatever the number of stations.
#include <set>
#include <utility>

#include "db/line_database.h"
#include "db/sql_dialect.h"

namespace {

bool whole_number(const std::optional<std::string>& text, std::uint64_t& value) {
    value = 0;
    if (!text || text->empty() || text->size() > 19) return false;
    for (const char c : *text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

std::string line_query(const SqlDialect& dialect) {
    const std::string time = std::string("CAST(? AS ") + dialect.timestamp_type + ")";
    const std::string ended_since = "CASE WHEN \"ended\" >= " + time;
    // a: each port's counts; b: its last row (the one that ended last).
    return "SELECT 'p', b.\"station\", b.\"port\", b.\"ended\", b.\"result\", b.\"reason\", a.hour_boxes, "
           "a.hour_completed, a.today_boxes, a.today_completed, a.boxes, a.completed, a.interrupted FROM "
           "(SELECT \"station\", \"port\", MAX(\"ended\") AS last_ended, "
           "SUM(" + ended_since + " THEN 1 ELSE 0 END) AS hour_boxes, "
           "SUM(" + ended_since + " AND \"result\" = 'completed' THEN 1 ELSE 0 END) AS hour_completed, "
           "SUM(" + ended_since + " THEN 1 ELSE 0 END) AS today_boxes, "
           "SUM(" + ended_since + " AND \"result\" = 'completed' THEN 1 ELSE 0 END) AS today_completed, "
           "COUNT(*) AS boxes, SUM(CASE WHEN \"result\" = 'completed' THEN 1 ELSE 0 END) AS completed, "
           "SUM(CASE WHEN \"result\" = 'interrupted' THEN 1 ELSE 0 END) AS interrupted "
           "FROM stb_boxes WHERE \"pool\" = ? AND \"ended\" >= " + time + " GROUP BY \"station\", \"port\") a "
           "JOIN stb_boxes b ON b.\"pool\" = ? AND b.\"ended\" = a.last_ended AND b.\"station\" = a.\"station\" AND "
           "b.\"port\" = a.\"port\" "
           "UNION ALL SELECT 'r', \"field\", NULL, NULL, NULL, NULL, \"next_value\", 0, 0, 0, 0, 0, 0 "
           "FROM stb_ranges WHERE \"pool\" = ?";
}

}  // namespace

std::string log_time_of(const std::string& sql_time) {
    // "YYYY-MM-DD HH:MM:SS", then a fraction of any length or none.
    if (sql_time.size() < 19 || (sql_time[10] != ' ' && sql_time[10] != 'T')) return std::string();
    std::string millis = "000";
    if (sql_time.size() > 19) {
        if (sql_time[19] != '.') return std::string();
        for (std::size_t i = 20; i < sql_time.size() && i < 23; ++i) millis[i - 20] = sql_time[i];
    }
    for (std::size_t i = 0; i < 19; ++i) {
        const bool separator = i == 4 || i == 7 || i == 10 || i == 13 || i == 16;
        if (!separator && (sql_time[i] < '0' || sql_time[i] > '9')) return std::string();
    }
    for (const char c : millis) {
        if (c < '0' || c > '9') return std::string();
    }
    return sql_time.substr(0, 10) + "T" + sql_time.substr(11, 8) + "." + millis + "Z";
}

bool LineDatabase::read_line(const LineWindow& window, LineReading& reading, DbError& error) {
    if (!ready(error)) return false;
    const std::string hour = sql_time_of(window.hour);
    const std::string today = sql_time_of(window.today);
    const std::vector<DbValue> parameters{DbValue::of(hour), DbValue::of(hour), DbValue::of(today),
                                          DbValue::of(today), DbValue::of(pool_), DbValue::of(sql_time_of(window.day)),
                                          DbValue::of(pool_), DbValue::of(pool_)};
    std::vector<DbRow> rows;
    if (!db_.run(line_query(dialect_for(db_.database_name())), parameters, &rows, nullptr, error)) {
        if (error.fault == DbFault::Unreachable) db_.disconnect();
        return false;
    }
    reading = LineReading();
    std::set<std::pair<std::string, std::string>> seen;
    for (const DbRow& row : rows) {
        if (row.size() != 13 || !row[0] || !row[1]) continue;
        if (*row[0] == "r") {
            std::uint64_t next = 0;
            if (whole_number(row[6], next)) reading.next.emplace_back(*row[1], next);
            continue;
        }
        PortFigures port;
        port.station = *row[1];
        port.port = row[2].value_or("");
        // Two rows of a port that ended in the same millisecond: the first stands for both.
        if (!seen.insert({port.station, port.port}).second) continue;
        port.last_ended = log_time_of(row[3].value_or(""));
        port.last_result = row[4].value_or("");
        port.last_reason = row[5].value_or("");
        std::uint64_t* counts[] = {&port.hour_boxes, &port.hour_completed, &port.today_boxes, &port.today_completed,
                                   &port.boxes, &port.completed, &port.interrupted};
        for (std::size_t c = 0; c < 7; ++c) whole_number(row[6 + c], *counts[c]);
        reading.ports.push_back(port);
    }
    return true;
}
