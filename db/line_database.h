// The line's shared state in its database: one record of every box of every
// bench (stb_boxes), the next value of each range of numbers (stb_ranges),
// and the leases that stations took of them (stb_leases). The schema is made
// on first use where the user may make it. One LineDatabase belongs to one
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/line_pool.h"
#include "db/odbc.h"

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

// The schema's version this tool writes and reads.
constexpr int LINE_SCHEMA_VERSION = 1;
