#include "db/line_database.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <utility>

#include "console/clock.h"
#include "db/sql_dialect.h"

namespace {

// How long a connection may take before the server counts as away.
constexpr int CONNECT_TIMEOUT_S = 5;
// Tries of a lease whose values another station took first, or of tables
// that another station was making at the same moment.
constexpr int TRIES = 20;

std::string quoted(const char* name) {
    return std::string("\"") + name + "\"";
}

std::string now_utc() {
    return sql_time_of(utc_now());
}

// A range's next value as the database gives it: a whole number, 0 or more.
bool stored_value(const std::optional<std::string>& text, std::uint64_t& value) {
    if (!text || text->empty() || text->size() > 19 || text->find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoull(*text);
    return true;
}

bool already_there(const DbError& error) {
    return error.state.rfind("23", 0) == 0;  // a unique key's violation: the row is there
}

// Why the schema cannot be made by this user.
bool schema_refused(DbError& error) {
    error = {DbFault::Schema, error.state,
             "the tables are missing, and this user may not make them: the line's IT makes them (see the README, for "
             "the line's IT)"};
    return false;
}

bool not_allowed(const DbError& error) {
    return error.state == "42501" || error.message.find("permission denied") != std::string::npos ||
           error.message.find("CREATE TABLE permission") != std::string::npos;
}

}  // namespace

std::string sql_time_of(std::string utc) {
    if (utc.size() == 24 && utc[10] == 'T') {
        utc[10] = ' ';
        utc.pop_back();
    }
    return utc;
}

LineDatabase::LineDatabase(std::string connection, std::string secret, std::string pool, std::vector<DbColumn> boxes)
    : boxes_(std::move(boxes)), connection_(std::move(connection)), secret_(std::move(secret)), pool_(std::move(pool)) {}

bool LineDatabase::ready(DbError& error) {
    if (!db_.connected()) {
        if (!db_.connect(connection_, secret_, CONNECT_TIMEOUT_S, error)) return false;
    }
    if (schema_checked_) return true;
    if (!make_schema(error)) {
        if (error.fault == DbFault::Unreachable) db_.disconnect();
        return false;
    }
    schema_checked_ = true;
    return true;
}

bool LineDatabase::make_schema(DbError& error) {
    const SqlDialect& dialect = dialect_for(db_.database_name());
    std::string boxes;
    for (const DbColumn& column : boxes_) {
        std::string sql_type;
        switch (column.type) {
        case DbType::Time: sql_type = dialect.timestamp_type; break;
        case DbType::Real: sql_type = dialect.real_type; break;
        case DbType::Integer: sql_type = "BIGINT"; break;
        case DbType::Text: sql_type = "VARCHAR(" + std::to_string(column.longest) + ")"; break;
        }
        boxes += quoted(column.name) + " " + sql_type + (column.required ? " NOT NULL" : "") + ", ";
    }
    // The job's pool, for the line's view of one job's boxes.
    boxes += "\"pool\" VARCHAR(255) NOT NULL, PRIMARY KEY (\"station\", \"port\", \"started\")";
    const std::string tables[][2] = {
        {"stb_schema", "\"version\" INTEGER NOT NULL"},
        {"stb_boxes", boxes},
        {"stb_ranges", "\"pool\" VARCHAR(255) NOT NULL, \"field\" VARCHAR(64) NOT NULL, \"next_value\" BIGINT NOT NULL, "
                       "PRIMARY KEY (\"pool\", \"field\")"},
        {"stb_leases", "\"pool\" VARCHAR(255) NOT NULL, \"field\" VARCHAR(64) NOT NULL, \"first_value\" BIGINT NOT NULL, "
                       "\"last_value\" BIGINT NOT NULL, \"station\" VARCHAR(255) NOT NULL, \"journal\" VARCHAR(1024) "
                       "NOT NULL, \"taken\" " + std::string(dialect.timestamp_type) +
                       " NOT NULL, PRIMARY KEY (\"pool\", \"field\", \"first_value\")"},
    };
    for (int attempt = 1;; ++attempt) {
        std::vector<DbRow> version;
        if (db_.run("SELECT \"version\" FROM stb_schema", {}, &version, nullptr, error)) {
            if (version.empty()) {
                db_.run("INSERT INTO stb_schema (\"version\") SELECT " + std::to_string(LINE_SCHEMA_VERSION) +
                            " WHERE NOT EXISTS (SELECT 1 FROM stb_schema)",
                        {}, nullptr, nullptr, error);
                continue;
            }
            for (const DbRow& row : version) {
                if (!row[0] || *row[0] != std::to_string(LINE_SCHEMA_VERSION)) {
                    error = {DbFault::Schema, "", "the tables are of another version (schema " + row[0].value_or("?") +
                                                      "; this stbload reads " + std::to_string(LINE_SCHEMA_VERSION) + ")"};
                    return false;
                }
            }
            return true;
        }
        if (error.fault == DbFault::Unreachable || attempt > TRIES) return false;
        // Not there yet: made here, or by a station starting at the same moment.
        for (const auto& table : tables) {
            if (db_.run(dialect.create_table(table[0], table[1]), {}, nullptr, nullptr, error)) continue;
            if (error.fault == DbFault::Unreachable) return false;
            if (not_allowed(error)) return schema_refused(error);
            break;  // most likely another station's table of the same name, made a moment ago: look again
        }
        // The line's view reads a pool's boxes of the last day by their end.
        if (!db_.run(dialect.create_index("stb_boxes_pool_ended", "stb_boxes", "\"pool\", \"ended\""), {}, nullptr,
                     nullptr, error)) {
            if (error.fault == DbFault::Unreachable) return false;
            if (not_allowed(error)) return schema_refused(error);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 * attempt));
    }
}

bool LineDatabase::insert_box(const std::vector<std::string>& fields, DbError& error) {
    if (!ready(error)) return false;
    std::string columns;
    std::string marks;
    std::vector<DbValue> values;
    for (std::size_t c = 0; c < boxes_.size() && c < fields.size(); ++c) {
        const DbColumn& column = boxes_[c];
        columns += (c == 0 ? "" : ", ") + quoted(column.name);
        marks += c == 0 ? "?" : ", ?";
        const std::string& field = fields[c];
        if (column.type == DbType::Time) {
            values.push_back(DbValue::of(sql_time_of(field)));
        } else if (column.type == DbType::Text) {
            values.push_back(DbValue::of(field.substr(0, column.longest)));
        } else {
            // A number the log wrote; anything else (a hand-edited log) goes in as NULL.
            char* end = nullptr;
            const double number = std::strtod(field.c_str(), &end);
            if (field.empty() || *end != '\0' || !std::isfinite(number) || std::fabs(number) > 9e15) {
                values.push_back(DbValue::null());
            } else if (column.type == DbType::Integer) {
                values.push_back(DbValue::of(static_cast<std::int64_t>(number)));
            } else {
                values.push_back(DbValue::real_of(number));
            }
        }
    }
    values.push_back(DbValue::of(pool_.substr(0, 255)));
    if (db_.run("INSERT INTO stb_boxes (" + columns + ", \"pool\") VALUES (" + marks + ", ?)", values, nullptr,
                nullptr, error)) {
        return true;
    }
    if (already_there(error)) return true;  // sent before a crash, or by another try: there once
    if (error.fault == DbFault::Unreachable) db_.disconnect();
    return false;
}

bool LineDatabase::make_ranges(const std::vector<PoolField>& fields, DbError& error) {
    // A range's row is made with its first lease, by this station or another at the same moment.
    for (const PoolField& field : fields) {
        if (!db_.run("INSERT INTO stb_ranges (\"pool\", \"field\", \"next_value\") SELECT ?, ?, ? WHERE NOT EXISTS "
                     "(SELECT 1 FROM stb_ranges WHERE \"pool\" = ? AND \"field\" = ?)",
                     {DbValue::of(pool_), DbValue::of(field.name), DbValue::of(static_cast<std::int64_t>(field.first)),
                      DbValue::of(pool_), DbValue::of(field.name)},
                     nullptr, nullptr, error) &&
            !already_there(error)) {
            return false;
        }
    }
    return true;
}

bool LineDatabase::read_ranges(const std::vector<PoolField>& fields, std::vector<std::uint64_t>& stored,
                               std::vector<std::uint64_t>& next, DbError& error) {
    for (const PoolField& field : fields) {
        std::vector<DbRow> rows;
        if (!db_.run("SELECT \"next_value\" FROM stb_ranges WHERE \"pool\" = ? AND \"field\" = ?",
                     {DbValue::of(pool_), DbValue::of(field.name)}, &rows, nullptr, error)) {
            return false;
        }
        std::uint64_t value = 0;
        if (rows.empty() || !stored_value(rows[0][0], value)) {
            error = {DbFault::Failed, "", "the range of " + field.name + " has no usable row in stb_ranges"};
            return false;
        }
        stored.push_back(value);
        next.push_back(value > field.first ? value : field.first);  // no lower than the job's first
    }
    return true;
}

LineDatabase::RangeMove LineDatabase::move_range(const PoolField& field, std::uint64_t stored, std::uint64_t next,
                                                 std::uint64_t take, const LeaseHolder& holder, DbError& error) {
    // The range moves on only from the value read: a station that took it
    // first makes this one try again with what it left.
    long long changed = 0;
    if (!db_.run("UPDATE stb_ranges SET \"next_value\" = ? WHERE \"pool\" = ? AND \"field\" = ? AND "
                 "\"next_value\" = ?",
                 {DbValue::of(static_cast<std::int64_t>(next + take)), DbValue::of(pool_), DbValue::of(field.name),
                  DbValue::of(static_cast<std::int64_t>(stored))},
                 nullptr, &changed, error)) {
        return RangeMove::Failed;
    }
    if (changed != 1) return RangeMove::Raced;
    if (!db_.run("INSERT INTO stb_leases (\"pool\", \"field\", \"first_value\", \"last_value\", \"station\", "
                 "\"journal\", \"taken\") VALUES (?, ?, ?, ?, ?, ?, ?)",
                 {DbValue::of(pool_), DbValue::of(field.name), DbValue::of(static_cast<std::int64_t>(next)),
                  DbValue::of(static_cast<std::int64_t>(next + take - 1)), DbValue::of(holder.station.substr(0, 255)),
                  DbValue::of(holder.journal.substr(0, 1024)), DbValue::of(holder.taken)},
                 nullptr, nullptr, error)) {
        return RangeMove::Failed;
    }
    return RangeMove::Moved;
}

LineDatabase::RangeMove LineDatabase::try_lease(const std::vector<PoolField>& fields, std::uint64_t count,
                                                const LeaseHolder& holder, Lease& lease, std::string& used_up,
                                                DbError& error) {
    std::vector<std::uint64_t> stored;  // as the rows hold them
    std::vector<std::uint64_t> next;
    if (!read_ranges(fields, stored, next, error)) return RangeMove::Failed;
    std::uint64_t take = count;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        const std::uint64_t left = next[f] > fields[f].last ? 0 : fields[f].last - next[f] + 1;
        if (left == 0) {
            used_up = fields[f].name;
            return RangeMove::UsedUp;
        }
        if (left < take) take = left;
    }
    for (std::size_t f = 0; f < fields.size(); ++f) {
        const RangeMove moved = move_range(fields[f], stored[f], next[f], take, holder, error);
        if (moved != RangeMove::Moved) return moved;
    }
    lease.first = next;
    lease.count = take;
    return RangeMove::Moved;
}

LeaseResult LineDatabase::take_lease(const std::vector<PoolField>& fields, std::uint64_t count,
                                     const std::string& station, const std::string& journal, Lease& lease,
                                     std::string& used_up, DbError& error) {
    if (!ready(error)) return LeaseResult::Failed;
    if (!make_ranges(fields, error)) {
        if (error.fault == DbFault::Unreachable) db_.disconnect();
        return LeaseResult::Failed;
    }
    const LeaseHolder holder{station, journal, now_utc()};
    for (int attempt = 0; attempt < TRIES; ++attempt) {
        if (!db_.begin(error)) break;
        const RangeMove tried = try_lease(fields, count, holder, lease, used_up, error);
        if (tried == RangeMove::Moved) {
            if (!db_.commit(error)) break;
            return LeaseResult::Taken;
        }
        db_.rollback();
        if (tried == RangeMove::UsedUp) return LeaseResult::UsedUp;
        if (tried == RangeMove::Failed) break;
    }
    if (error.fault == DbFault::None) error = {DbFault::Failed, "", "other stations took every lease tried"};
    if (error.fault == DbFault::Unreachable) db_.disconnect();
    return LeaseResult::Failed;
}

bool LineDatabase::next_values(const std::vector<PoolField>& fields, std::vector<std::uint64_t>& next, DbError& error) {
    if (!ready(error)) return false;
    std::vector<DbRow> rows;
    if (!db_.run("SELECT \"field\", \"next_value\" FROM stb_ranges WHERE \"pool\" = ?", {DbValue::of(pool_)}, &rows,
                 nullptr, error)) {
        if (error.fault == DbFault::Unreachable) db_.disconnect();
        return false;
    }
    next.clear();
    for (const PoolField& field : fields) {
        std::uint64_t value = field.first;
        for (const DbRow& row : rows) {
            std::uint64_t stored = 0;
            if (row.size() == 2 && row[0] && *row[0] == field.name && stored_value(row[1], stored)) {
                value = stored > field.first ? stored : field.first;
            }
        }
        next.push_back(value);
    }
    return true;
}
