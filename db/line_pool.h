// What the line's stations keep in the line's database, as the keeper of a
// station sees it: one record of every box, and one pool of numbers taken in
// leases. LineDatabase keeps it on a server through ODBC; the tests keep it
// in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/odbc.h"

// A column of the boxes' table, as its caller describes it (the results
// log's columns, in their order).
enum class DbType { Time, Text, Real, Integer };
struct DbColumn {
    const char* name;
    DbType type;
    unsigned longest;  // Text: the longest text kept (longer is cut)
    bool required;     // NOT NULL
};

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

// A supervisor's approval of one job file's bytes and its image for a pool,
// as stb_approvals keeps it; revoked when `revoked` is not empty.
struct Approval {
    std::string id;
    std::string job_sha256;
    std::string image_sha256;
    std::string approved_by;  // the database user
    std::string approved;     // when, as the log writes a time
    std::string revoked_by;
    std::string revoked;
}; 

class LinePool {
public:
    virtual ~LinePool() = default;

    // Reaches the database if it has not, and makes sure of its tables.
    // False, with the fault, otherwise.
    virtual bool ready(DbError& error) = 0;
    virtual void disconnect() = 0;

    // Inserts a box's record (its fields in the columns' order, as the log
    // writes them), unless one with its station, port and start is there.
    virtual bool insert_box(const std::vector<std::string>& fields, DbError& error) = 0;

    // Takes up to `count` values of every field in one transaction: the next
    // ones of the pool, so that no two stations ever hold one value; fewer
    // where a range has fewer left. `used_up` names a field with none left.
    virtual LeaseResult take_lease(const std::vector<PoolField>& fields, std::uint64_t count, const std::string& station,
                                   const std::string& journal, Lease& lease, std::string& used_up,
                                   DbError& error) = 0;

    // The pool's next value of each field (its first while nothing was leased).
    virtual bool next_values(const std::vector<PoolField>& fields, std::vector<std::uint64_t>& next,
                             DbError& error) = 0;

    // The pool's approvals, the newest first. A missing table is a Schema
    // fault: the line's IT makes it.
    virtual bool read_approvals(std::vector<Approval>& approvals, DbError& error) = 0;
};
