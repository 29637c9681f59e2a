// The line's shared state in its database: one record of every box of every
// bench (stb_boxes), the next value of each range of numbers (stb_ranges),
// and the leases that stations took of them (stb_leases). The schema is made
// on first use where the user may make it. One LineDatabase belongs to one
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "db/line_pool.h"
#include "db/odbc.h"

// What the line's view reads of its pool, for rows ended at or after each
// of these times (as the log writes them): the last day's, today's (since
// 00:00 UTC) and the last hour's.
struct LineWindow {
    std::string day;
    std::string today;
    std::string hour;
};

// One port of one station in the window: its boxes and its last row.
struct PortFigures {
    std::string station;
    std::string port;
    std::string last_ended;  // as the log writes a time
    std::string last_result;
    std::string last_reason;
    std::uint64_t hour_boxes = 0;
    std::uint64_t hour_completed = 0;
    std::uint64_t today_boxes = 0;
    std::uint64_t today_completed = 0;
    std::uint64_t boxes = 0;  // the whole day's
    std::uint64_t completed = 0;
    std::uint64_t interrupted = 0;
};

struct LineReading {
    std::vector<PortFigures> ports;
    std::vector<std::pair<std::string, std::uint64_t>> next;  // each range's next value, by field
};

class LineDatabase final : public LinePool {
public:
    // `connection`: the job's string, its password added; `secret`: that
    // password, kept out of every message; `pool`: the job's name in the
    // database; `boxes`: the columns of stb_boxes, whose key is its
    // station, port and started.
    LineDatabase(std::string connection, std::string secret, std::string pool, std::vector<DbColumn> boxes);

    // The schema is made when missing and the user may make it; several
    // stations at once do not fail on each other.
    bool ready(DbError& error) override;
    void disconnect() override { db_.disconnect(); }
    bool insert_box(const std::vector<std::string>& fields, DbError& error) override;
    LeaseResult take_lease(const std::vector<PoolField>& fields, std::uint64_t count, const std::string& station,
                           const std::string& journal, Lease& lease, std::string& used_up, DbError& error) override;
    bool next_values(const std::vector<PoolField>& fields, std::vector<std::uint64_t>& next, DbError& error) override;
    bool read_approvals(std::vector<Approval>& approvals, DbError& error) override;
    // A supervisor's acts, as this connection's user: approves the job's
    // bytes and image for the pool (`made` gets the row), or revokes every
    // approval of them that stands (`revoked` gets how many).
    bool approve(const std::string& job_sha256, const std::string& image_sha256, Approval& made, DbError& error);
    bool revoke(const std::string& job_sha256, const std::string& image_sha256, long long& revoked, DbError& error);
    std::string user_name() { return db_.user_name(); }

    // The pool's ports and ranges in `window`, in one query. It only reads:
    // the view's user needs SELECT alone.
    bool read_line(const LineWindow& window, LineReading& reading, DbError& error);

private:
    // Who takes a lease, as its rows in stb_leases say.
    struct LeaseHolder {
        const std::string& station;
        const std::string& journal;
        std::string taken;  // when, in UTC
    };
    // One try at a lease, inside a transaction the caller commits only on Moved.
    enum class RangeMove { Moved, Raced, UsedUp, Failed };

    bool make_schema(DbError& error);
    bool make_ranges(const std::vector<PoolField>& fields, DbError& error);
    bool read_ranges(const std::vector<PoolField>& fields, std::vector<std::uint64_t>& stored,
                     std::vector<std::uint64_t>& next, DbError& error);
    RangeMove move_range(const PoolField& field, std::uint64_t stored, std::uint64_t next, std::uint64_t take,
                         const LeaseHolder& holder, DbError& error);
    RangeMove try_lease(const std::vector<PoolField>& fields, std::uint64_t count, const LeaseHolder& holder,
                        Lease& lease, std::string& used_up, DbError& error);

    std::vector<DbColumn> boxes_;
    std::string connection_;
    std::string secret_;
    std::string pool_;
    OdbcConnection db_;
    bool schema_checked_ = false;
};

// "2026-12-09T05:40:12.345Z" as the servers take a time: "2026-12-09 05:40:12.345".
std::string sql_time_of(std::string utc);
// "2026-12-09 05:40:12.34" as a server prints a time, as the log writes one:
// "2026-12-09T05:40:12.340Z"; empty for anything else.
std::string log_time_of(const std::string& sql_time);

// The schema's version this tool writes and reads.
// 2: stb_boxes holds each box's pool, indexed with its end.
constexpr int LINE_SCHEMA_VERSION = 2;
