// The SQL that differs between the servers a line may keep its record in:
// PostgreSQL (tested here) and Microsoft SQL Server (written, not tested).
// Everything else the tool says to a database is plain SQL both take.
#pragma once

#include <string>

struct SqlDialect {
    const char* server;          // as the driver names it
    const char* timestamp_type;  // a time to the millisecond
    const char* real_type;       // a phase's seconds
    // "CREATE TABLE name (body)" that does nothing when the table is there.
    std::string (*create_table)(const std::string& name, const std::string& body);
    // "CREATE INDEX name ON table (columns)" that does nothing when the index is there.
    std::string (*create_index)(const std::string& name, const std::string& table, const std::string& columns);
};

// The dialect of the server the driver names ("PostgreSQL", "Microsoft SQL
// Server"); PostgreSQL's for any other.
const SqlDialect& dialect_for(const std::string& server);
