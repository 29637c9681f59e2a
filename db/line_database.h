// The line's shared state in its database: one record of every box of every
// bench (stb_boxes), the next value of each range of numbers (stb_ranges),
// and the leases that stations took of them (stb_leases). The schema is made
// on first use where the user may make it. One LineDatabase belongs to one
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/odbc.h"

// The columns of a box's record, in the results log's order.
extern const char* const BOX_COLUMNS[20];

// A range of numbers as the database keeps it: values from `first` to `last`.
struct PoolField {
    std::string name;
    std::uint64_t first;
    std::uint64_t last;
};

// Values leased to a station: for each field, from first to first + count - 1.
struct Lease {
    std::vector<std::uint64_t> first;
    std::uint64_t count = 0;
};

enum class LeaseResult { Taken, UsedUp, Failed };

class LineDatabase {
public:
    // `connection`: the job's string, its password added; `secret`: that
    // password, kept out of every message; `pool`: the job's name in the database.
    LineDatabase(std::string connection, std::string secret, std::string pool);

    // Connects if it is not, and makes sure of the schema (made when missing
    // and the user may make it; several stations at once do not fail on each
    // other). False, with the fault, otherwise.
    bool ready(DbError& error);
    void disconnect() { db_.disconnect(); }

    // Inserts a box's record (its 20 fields in the log's order, as the log
    // writes them), unless one with its station, port and start is there.
    bool insert_box(const std::vector<std::string>& fields, DbError& error);

    // Takes up to `count` values of every field in one transaction: the next
    // ones of the pool, so that no two stations ever hold one value.
    // `used_up` names a field with nothing left.
    LeaseResult take_lease(const std::vector<PoolField>& fields, std::uint64_t count, const std::string& station,
                           const std::string& journal, Lease& lease, std::string& used_up, DbError& error);

    // The pool's next value of each field (its first while nothing was leased).
    bool next_values(const std::vector<PoolField>& fields, std::vector<std::uint64_t>& next, DbError& error);

private:
    bool make_schema(DbError& error);

    std::string connection_;
    std::string secret_;
    std::string pool_;
    OdbcConnection db_;
    bool schema_checked_ = false;
};

// The schema's version this tool writes and reads.
constexpr int LINE_SCHEMA_VERSION = 1;
