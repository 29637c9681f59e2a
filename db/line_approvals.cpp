// A supervisor's approvals in stb_approvals, which the line's IT makes (a
// station never does): read by every station at its start and while it
// runs, written only by a user with INSERT on the table.
#include "console/clock.h"
#include "db/line_database.h"
#include "db/sql_dialect.h"

namespace {

constexpr int TRIES = 20;

bool missing_table(const DbError& error) {
    return error.state == "42P01" || error.state == "42S02" || error.message.find("does not exist") != std::string::npos ||
           error.message.find("doesn't exist") != std::string::npos ||
           error.message.find("Invalid object name") != std::string::npos;
}

bool refused_right(const DbError& error) {
    return error.state == "42501" || error.message.find("permission denied") != std::string::npos ||
           error.message.find("command denied") != std::string::npos;
}

// The fault in words an operator or a supervisor acts on.
void explain(DbError& error, const std::string& user, const char* act) {
    if (missing_table(error)) {
        error = {DbFault::Schema, error.state,
                 "the table stb_approvals is missing: the line's IT makes it (see the README, for the line's IT)"};
    } else if (refused_right(error)) {
        error = {DbFault::Failed, error.state,
                 "the database user " + user + " may not " + act +
                     " (only the supervisor's role may: see the README, for the line's IT)"};
    }
}

std::string time_param(const SqlDialect& dialect) {
    return std::string("CAST(? AS ") + dialect.timestamp_type + ")";
}

}  // namespace

bool LineDatabase::read_approvals(std::vector<Approval>& approvals, DbError& error) {
    if (!ready(error)) return false;
    std::vector<DbRow> rows;
    if (!db_.run("SELECT \"id\", \"job_sha256\", \"image_sha256\", \"approved_by\", \"approved\", \"revoked_by\", "
                 "\"revoked\" FROM stb_approvals WHERE \"pool\" = ? ORDER BY \"id\" DESC",
                 {DbValue::of(pool_)}, &rows, nullptr, error)) {
        if (error.fault == DbFault::Unreachable) db_.disconnect();
        explain(error, db_.user_name(), "read stb_approvals");
        return false;
    }
    approvals.clear();
    for (const DbRow& row : rows) {
        if (row.size() != 7 || !row[0]) continue;
        approvals.push_back(Approval{*row[0], row[1].value_or(""), row[2].value_or(""), row[3].value_or(""),
                                     log_time_of(row[4].value_or("")), row[5].value_or(""),
                                     row[6] ? log_time_of(*row[6]) : std::string()});
    }
    return true;
}

bool LineDatabase::approve(const std::string& job_sha256, const std::string& image_sha256, Approval& made,
                           DbError& error) {
    if (!ready(error)) return false;
    const SqlDialect& dialect = dialect_for(db_.database_name());
    const std::string user = db_.user_name();
    for (int attempt = 0; attempt < TRIES; ++attempt) {
        // The next id; another supervisor's approval at the same moment takes it first, and this one tries again.
        std::vector<DbRow> rows;
        if (!db_.run("SELECT COALESCE(MAX(\"id\"), 0) + 1 FROM stb_approvals", {}, &rows, nullptr, error)) break;
        made = Approval{rows.empty() || !rows[0][0] ? "1" : *rows[0][0], job_sha256, image_sha256, user, utc_now(),
                        "", ""};
        if (db_.run("INSERT INTO stb_approvals (\"id\", \"pool\", \"job_sha256\", \"image_sha256\", \"approved_by\", "
                    "\"approved\") VALUES (CAST(? AS BIGINT), ?, ?, ?, ?, " + time_param(dialect) + ")",
                    {DbValue::of(made.id), DbValue::of(pool_), DbValue::of(job_sha256), DbValue::of(image_sha256),
                     DbValue::of(user.substr(0, 255)), DbValue::of(sql_time_of(made.approved))},
                    nullptr, nullptr, error)) {
            return true;
        }
        if (error.state.rfind("23", 0) != 0) break;
    }
    if (error.fault == DbFault::Unreachable) db_.disconnect();
    explain(error, user, "approve a job");
    return false;
}

bool LineDatabase::revoke(const std::string& job_sha256, const std::string& image_sha256, long long& revoked,
                          DbError& error) {
    if (!ready(error)) return false;
    const SqlDialect& dialect = dialect_for(db_.database_name());
    const std::string user = db_.user_name();
    revoked = 0;
    if (db_.run("UPDATE stb_approvals SET \"revoked_by\" = ?, \"revoked\" = " + time_param(dialect) +
                    " WHERE \"pool\" = ? AND \"job_sha256\" = ? AND \"image_sha256\" = ? AND \"revoked\" IS NULL",
                {DbValue::of(user.substr(0, 255)), DbValue::of(sql_time_of(utc_now())), DbValue::of(pool_),
                 DbValue::of(job_sha256), DbValue::of(image_sha256)},
                nullptr, &revoked, error)) {
        return true;
    }
    if (error.fault == DbFault::Unreachable) db_.disconnect();
    explain(error, user, "revoke a job");
    return false;
}
