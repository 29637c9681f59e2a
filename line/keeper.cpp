#include "line/keeper.h"

#include <utility>

#include "console/clock.h"
#include "console/environment.h"
#include "console/full_path.h"
#include "console/interrupt.h"
#include "console/trace.h"
#include "job/unique_value.h"
#include "records/log_columns.h"

namespace {

// Between tries while the database is away; a row is sent within two of
// these and a connection's time-out of the database's return.
constexpr double RETRY_S = 2.0;
// While stopping, tried again this often until the grace is over.
constexpr double STOPPING_RETRY_S = 0.2;
// A row the database refuses (not for want of a connection) is tried this
// often, then left to the log alone and named in the trace.
constexpr int ROW_TRIES = 3;

}  // namespace

std::string line_connection(const LineSettings& line, std::string& secret) {
    const char* password = environment_value("STBLOAD_DB_PASSWORD");
    const char* user = environment_value("STBLOAD_DB_USER");
    secret = password != nullptr ? password : "";
    std::string database = user != nullptr && *user != '\0' ? with_user(line.database, user) : line.database;
    if (secret.empty()) return database;
    // In braces, so that a ';' or '=' in it means nothing; a '}' is doubled.
    std::string braced;
    for (const char c : secret) braced += c == '}' ? "}}" : std::string(1, c);
    std::string connection = database;
    if (!connection.empty() && connection.back() != ';') connection += ';';
    return connection + "PWD={" + braced + "}";
}

LineKeeper::LineKeeper(const Job& job, std::string log_path, LeasedJournal* numbers, std::string station,
                       unsigned ports, std::unique_ptr<LinePool> pool)
    : job_(job),
      log_path_(std::move(log_path)),
      numbers_(numbers),
      station_(std::move(station)),
      ports_(ports > 0 ? ports : 1),
      pool_(std::move(pool)) {
    for (const UniqueField& field : job.unique) fields_.push_back(PoolField{field.name, field.first, field.last});
}

LineKeeper::~LineKeeper() {
    if (thread_.joinable()) stop(0);
}

LineOpen LineKeeper::open(std::string& problem) {
    if (!outbox_.claim(log_path_, problem)) return LineOpen::Refused;
    outbox_.read_rows(rows_, bad_rows_);
    trace("database: %llu rows of %s wait to be sent", static_cast<unsigned long long>(rows_.size()),
          log_path_.c_str());
    const std::string where = "the line's database (" + without_password(job_.line->database) + ")";
    DbError error;
    if (!pool_->ready(error)) {
        note(brief_db_reason(error), error.fault, false);
        switch (error.fault) {
        case DbFault::Unreachable:
            if (approval_ != nullptr && !approval_->judge_from_memory(problem)) return LineOpen::Refused;
            problem = where + " is unreachable: " + error.message;
            return LineOpen::Unreachable;
        case DbFault::Login: problem = where + " refused the login: " + error.message; break;
        case DbFault::Driver:
            problem = where + " cannot be used: " + error.message +
                      " (is the server's ODBC driver installed, and the DSN set up?)";
            break;
        default: problem = where + ": " + error.message; break;
        }
        return LineOpen::Refused;
    }
    note(std::string(), DbFault::None, true);
    if (approval_ != nullptr) {
        std::string refusal;
        if (!approval_->judge(*pool_, error, refusal)) {
            if (!refusal.empty()) {
                problem = refusal;
                return LineOpen::Refused;
            }
            if (error.fault != DbFault::Unreachable) {
                problem = where + ": " + error.message;
                return LineOpen::Refused;
            }
            if (!approval_->judge_from_memory(problem)) return LineOpen::Refused;
        }
        approval_looked_ = monotonic_seconds();
    }
    std::string reason;
    DbFault fault = DbFault::None;
    top_up(reason, fault);
    if (fault == DbFault::Unreachable) {
        problem = where + " is unreachable: " + reason;
        return LineOpen::Unreachable;
    }
    return LineOpen::Ready;
}

void LineKeeper::start() {
    thread_ = std::thread(&LineKeeper::run, this);
}

void LineKeeper::wake() {
    const MutexLock hold(lock_);
    woken_ = true;
    wake_.notify_one();
}

void LineKeeper::stop(double grace_s) {
    {
        const MutexLock hold(lock_);
        stopping_ = true;
        stop_by_ = monotonic_seconds() + grace_s;
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

LineStatus LineKeeper::status() const {
    const MutexLock hold(lock_);
    return status_;
}

std::string LineKeeper::status_line() const {
    const LineStatus now = status();
    const std::string rows = now.waiting == 1 ? "1 row" : std::to_string(now.waiting) + " rows";
    std::string line;
    if (now.fault == DbFault::None) {
        line = now.waiting == 0 ? "database: every row sent" : "database: " + rows + " waiting (sending)";
    } else {
        line = "database: " + rows + " waiting (" + now.reason + ")";
    }
    if (now.refused > 0) line += "; " + std::to_string(now.refused) + " refused (the trace names them)";
    const std::string stopped = revoked();
    if (!stopped.empty()) line = stopped + ": no new box is answered; " + line;
    return line;
}

std::string LineKeeper::numbers_wait_reason() const {
    const LineStatus now = status();
    if (now.fault == DbFault::Unreachable) return "database unreachable";
    return now.reason.empty() ? "a lease is being taken" : now.reason;
}

void LineKeeper::note(const std::string& reason, DbFault fault, bool reached) {
    const MutexLock hold(lock_);
    if (reason != status_.reason && !reason.empty()) trace("database: %s", reason.c_str());
    if (reason.empty() && status_.fault != DbFault::None) trace("database: reached again");
    status_.reason = reason;
    status_.fault = fault;
    status_.reached = reached;
    status_.waiting = rows_.size();
    status_.refused = bad_rows_;
}

void LineKeeper::keep() {
    std::string reason;
    DbFault fault = DbFault::None;
    top_up(reason, fault);
    if (approval_ != nullptr && fault != DbFault::Unreachable &&
        monotonic_seconds() - approval_looked_ >= APPROVAL_LOOK_S) {
        approval_->look_again(*pool_);
        approval_looked_ = monotonic_seconds();
    }
    outbox_.read_rows(rows_, bad_rows_);
    if (fault != DbFault::Unreachable) send_rows(reason, fault);
    note(reason, fault, fault != DbFault::Unreachable && fault != DbFault::Login && fault != DbFault::Driver);
}

// Stopping: done once nothing waits, the grace is over, or the database is away.
bool LineKeeper::done() {
    return stopping_ &&
           (status_.waiting == 0 || monotonic_seconds() >= stop_by_ || status_.fault == DbFault::Unreachable);
}

void LineKeeper::run() {
    keep_interrupts_off_this_thread();
    trace_label_thread("database");
    for (;;) {
        keep();
        const MutexLock hold(lock_);
        if (done()) break;
        // Again when a row comes or the station stops, or every 2 s (while stopping, soon).
        if (!woken_) wake_.wait_for(lock_, stopping_ ? STOPPING_RETRY_S : RETRY_S);
        woken_ = false;
    }
    pool_->disconnect();
}

// Leases early enough that every port can start a box without waiting: the
// next one while the values at hand are fewer than the ports plus a quarter
// of a lease; never more than two held.
void LineKeeper::top_up(std::string& reason, DbFault& fault) {
    if (numbers_ == nullptr) return;
    for (;;) {
        const unsigned held = numbers_->leases_held();
        const std::uint64_t left = numbers_->lease_left();
        if (held >= 2 || 4 * left >= 4 * std::uint64_t{ports_} + job_.line->lease) return;
        if (take_one_lease(reason, fault) != LeaseResult::Taken) return;
    }
}

LeaseResult LineKeeper::take_one_lease(std::string& reason, DbFault& fault) {
    Lease lease;
    std::string used_up;
    DbError error;
    const LeaseResult taken =
        pool_->take_lease(fields_, job_.line->lease, station_, full_path(numbers_->path()), lease, used_up, error);
    if (taken == LeaseResult::UsedUp) {
        if (numbers_->used_up().empty() && numbers_->lease_left() == 0) {
            trace("database: the pool's %s is used up", used_up.c_str());
        }
        numbers_->set_pool_used_up(used_up);
        return taken;
    }
    if (taken == LeaseResult::Failed) {
        reason = brief_db_reason(error);
        fault = error.fault;
        return taken;
    }
    std::string why;
    if (!numbers_->add_lease(station_, lease.first, lease.count, why)) {
        // D4: taken in the database, never given: a gap that stb_leases shows.
        reason = why;
        fault = DbFault::Failed;
        return LeaseResult::Failed;
    }
    trace("database: leased %llu values from %s", static_cast<unsigned long long>(lease.count),
          unique_pairs(job_.unique, lease.first).c_str());
    return taken;
}

// The rows in order; a row the server refuses is tried ROW_TRIES times, one
// it cannot be reached for is kept however long the outage. D3: the mark
// moves past the rows the database holds (or refused for good) only.
void LineKeeper::send_rows(std::string& reason, DbFault& fault) {
    std::uint64_t sent_to = outbox_.marked();
    while (!rows_.empty()) {
        OutboxRow& row = rows_.front();
        DbError error;
        if (!pool_->insert_box(row.fields, error)) {
            reason = brief_db_reason(error);
            fault = error.fault;
            if (error.fault != DbFault::Failed || ++row.tries < ROW_TRIES) break;
            trace("database: the row of %s at %s was refused %d times, and stays in the log alone: %s",
                  row.fields[col::PORT].c_str(), row.fields[col::STARTED].c_str(), ROW_TRIES, error.message.c_str());
            ++bad_rows_;
        } else {
            reason.clear();
            fault = DbFault::None;
        }
        sent_to = row.end;
        rows_.pop_front();
    }
    if (sent_to != outbox_.marked() && !outbox_.mark(sent_to)) {
        trace("database: cannot write the outbox %s (%s): its rows are sent again later", outbox_.path().c_str(),
              outbox_.error().c_str());
    }
}
