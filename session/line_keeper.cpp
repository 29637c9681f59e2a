#include "session/line_keeper.h"

#include <chrono>
#include <utility>

#include "console/clock.h"
#include "console/environment.h"
#include "console/full_path.h"
#include "console/interrupt.h"
#include "console/system_error.h"
#include "console/trace.h"
#include "session/csv_reader.h"
#include "session/unique_value.h"

namespace {

constexpr char OUTBOX_HEADER[] = "stbload outbox 1\r\n";
// Between tries while the database is away; a row is sent within two of
// these and a connection's time-out of the database's return.
constexpr double RETRY_S = 2.0;
// A row the database refuses (not for want of a connection) is tried this
// often, then left to the log alone and named in the trace.
constexpr int ROW_TRIES = 3;
constexpr std::size_t READ_CHUNK = std::size_t{1} << 20;
constexpr std::size_t LOG_COLUMNS = 20;

std::string utc_now() {
    char text[40];
    format_utc(std::chrono::system_clock::now(), text, sizeof text);
    return text;
}

std::string system_words(int error) {
    char words[256];
    describe_system_error(error, words, sizeof words);
    return words;
}

// The mark in the last whole "sent N" line of the outbox's end.
bool last_mark(const std::string& tail, std::uint64_t& offset) {
    bool found = false;
    std::size_t start = 0;
    for (std::size_t stop = tail.find('\n'); stop != std::string::npos; stop = tail.find('\n', start)) {
        const std::string line = tail.substr(start, stop - start);
        start = stop + 1;
        if (line.rfind("sent ", 0) != 0) continue;
        const std::size_t end = line.find(' ', 5);
        const std::string digits = line.substr(5, end == std::string::npos ? std::string::npos : end - 5);
        if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        offset = std::stoull(digits);
        found = true;
    }
    return found;
}

}  // namespace

std::string line_connection(const LineSettings& line, std::string& secret) {
    const char* password = environment_value("STBLOAD_DB_PASSWORD");
    secret = password != nullptr ? password : "";
    if (secret.empty()) return line.database;
    // In braces, so that a ';' or '=' in it means nothing; a '}' is doubled.
    std::string braced;
    for (const char c : secret) braced += c == '}' ? "}}" : std::string(1, c);
    std::string connection = line.database;
    if (!connection.empty() && connection.back() != ';') connection += ';';
    return connection + "PWD={" + braced + "}";
}

std::string line_journal_path(const std::string& log_path) {
    return log_path + ".numbers";
}

std::string line_outbox_path(const std::string& log_path) {
    return log_path + ".outbox";
}

namespace {

// The password goes to the database's connection, and is kept to be taken
// out of anything the driver says.
LineDatabase database_for(const LineSettings& line) {
    std::string secret;
    std::string connection = line_connection(line, secret);
    return LineDatabase(std::move(connection), std::move(secret), line.pool);
}

}  // namespace

LineKeeper::LineKeeper(const Job& job, std::string log_path, NumberJournal* numbers, std::string station,
                       unsigned ports)
    : job_(job),
      log_path_(std::move(log_path)),
      outbox_path_(line_outbox_path(log_path_)),
      numbers_(numbers),
      station_(std::move(station)),
      ports_(ports > 0 ? ports : 1),
      database_(database_for(*job.line)) {
    for (const UniqueField& field : job.unique) fields_.push_back(PoolField{field.name, field.first, field.last});
}

LineKeeper::~LineKeeper() {
    if (thread_.joinable()) stop(0);
}

LineOpen LineKeeper::open(std::string& problem) {
    const std::string where = "the line's database (" + without_password(job_.line->database) + ")";
    if (!outbox_.open(outbox_path_.c_str())) {
        problem = "cannot open the outbox " + outbox_path_ + ": " + system_words(outbox_.error());
        return LineOpen::Refused;
    }
    if (!outbox_.try_lock()) {
        problem = "the outbox " + outbox_path_ + " is in use: another stbload runs under the line's database with "
                  "the log " + log_path_ + "; give each station a log of its own";
        return LineOpen::Refused;
    }
    if (!log_.open(log_path_.c_str())) {
        problem = "cannot read the log " + log_path_ + ": " + system_words(log_.error());
        return LineOpen::Refused;
    }
    const std::int64_t log_size = log_.size();
    const std::int64_t outbox_size = outbox_.size();
    std::string tail;
    if (outbox_size > 0) {
        const std::uint64_t from = outbox_size > 4096 ? static_cast<std::uint64_t>(outbox_size) - 4096 : 0;
        if (!outbox_.read_at(from, 4096, tail)) {
            problem = "cannot read the outbox " + outbox_path_ + ": " + system_words(outbox_.error());
            return LineOpen::Refused;
        }
    }
    if (outbox_size == 0) {
        // A new outbox: the rows the log held before belong to the bench alone.
        marked_ = static_cast<std::uint64_t>(log_size > 0 ? log_size : 0);
        if (!outbox_.append_locked(OUTBOX_HEADER, sizeof OUTBOX_HEADER - 1) || !mark(marked_)) {
            problem = "cannot write the outbox " + outbox_path_ + ": " + system_words(outbox_.error());
            return LineOpen::Refused;
        }
    } else if (!last_mark(tail, marked_) || marked_ > static_cast<std::uint64_t>(log_size)) {
        // No mark (a kill just after the outbox was made), or a log that is
        // not the one it marked: every row of the log is sent, and those the
        // database has are skipped.
        trace("database: the outbox %s has no mark within the log: the whole log is sent", outbox_path_.c_str());
        marked_ = 0;
    }
    read_to_ = marked_;
    read_rows();
    trace("database: %llu rows of %s wait to be sent", static_cast<unsigned long long>(rows_.size()),
          log_path_.c_str());

    DbError error;
    if (!database_.ready(error)) {
        note(brief_db_reason(error), error.fault, false);
        if (error.fault == DbFault::Unreachable) {
            problem = where + " is unreachable: " + error.message;
            return LineOpen::Unreachable;
        }
        switch (error.fault) {
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
    const std::lock_guard<std::mutex> hold(lock_);
    woken_ = true;
    wake_.notify_one();
}

void LineKeeper::stop(double grace_s) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        stop_by_ = monotonic_seconds() + grace_s;
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

LineStatus LineKeeper::status() const {
    const std::lock_guard<std::mutex> hold(lock_);
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
    return line;
}

std::string LineKeeper::numbers_wait_reason() const {
    const LineStatus now = status();
    if (now.fault == DbFault::Unreachable) return "database unreachable";
    return now.reason.empty() ? "a lease is being taken" : now.reason;
}

void LineKeeper::note(const std::string& reason, DbFault fault, bool reached) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (reason != status_.reason && !reason.empty()) trace("database: %s", reason.c_str());
    if (reason.empty() && status_.fault != DbFault::None) trace("database: reached again");
    status_.reason = reason;
    status_.fault = fault;
    status_.reached = reached;
    status_.waiting = rows_.size();
}

void LineKeeper::run() {
    keep_interrupts_off_this_thread();
    trace_label_thread("database");
    for (;;) {
        std::string reason;
        DbFault fault = DbFault::None;
        top_up(reason, fault);
        read_rows();
        if (fault != DbFault::Unreachable) send_rows(reason, fault);
        note(reason, fault, fault != DbFault::Unreachable && fault != DbFault::Login && fault != DbFault::Driver);

        std::unique_lock<std::mutex> hold(lock_);
        // Stopping: done once nothing waits, the grace is over, or the database is away.
        if (stopping_ && (status_.waiting == 0 || monotonic_seconds() >= stop_by_ ||
                          status_.fault == DbFault::Unreachable)) {
            break;
        }
        // While stopping, tried again at once; otherwise when a row comes, or every 2 s.
        const double wait = stopping_ ? 0.2 : RETRY_S;
        wake_.wait_for(hold, std::chrono::duration<double>(wait), [this] { return woken_ || stopping_; });
        woken_ = false;
    }
    database_.disconnect();
}

// Leases early enough that every port can start a box without waiting: the
// next one while the values at hand are fewer than the ports plus a quarter
// of a lease; never more than two held.
void LineKeeper::top_up(std::string& reason, DbFault& fault) {
    if (numbers_ == nullptr) return;
    const std::uint64_t lease_size = job_.line->lease;
    for (;;) {
        const unsigned held = numbers_->leases_held();
        const std::uint64_t left = numbers_->lease_left();
        if (held >= 2 || 4 * left >= 4 * std::uint64_t{ports_} + lease_size) return;
        Lease lease;
        std::string used_up;
        DbError error;
        const LeaseResult taken =
            database_.take_lease(fields_, lease_size, station_, full_path(numbers_->path()), lease, used_up, error);
        if (taken == LeaseResult::UsedUp) {
            if (numbers_->used_up().empty() && left == 0) trace("database: the pool's %s is used up", used_up.c_str());
            numbers_->set_pool_used_up(used_up);
            return;
        }
        if (taken == LeaseResult::Failed) {
            reason = brief_db_reason(error);
            fault = error.fault;
            return;
        }
        std::string why;
        if (!numbers_->add_lease(station_, lease.first, lease.count, why)) {
            // Taken in the database, never given: a gap that stb_leases shows.
            reason = why;
            fault = DbFault::Failed;
            return;
        }
        trace("database: leased %llu values from %s", static_cast<unsigned long long>(lease.count),
              unique_pairs(job_.unique, lease.first).c_str());
    }
}

// The log's rows after those read so far; a torn last row waits for its end.
bool LineKeeper::read_rows() {
    for (;;) {
        std::string chunk;
        if (!log_.read_at(read_to_, READ_CHUNK, chunk)) return false;
        CsvReader reader;
        reader.open_text(chunk);
        std::vector<std::string> fields;
        std::uint64_t used = 0;
        for (;;) {
            const CsvRow got = reader.next(fields);
            if (got == CsvRow::End) break;
            if (got == CsvRow::Bad && reader.offset() >= chunk.size()) break;  // not whole yet
            used = reader.offset();
            if (got == CsvRow::Row && fields[0] == "started") continue;  // the header
            if (got == CsvRow::Bad || fields.size() != LOG_COLUMNS) {
                trace("database: the log's row at byte %llu cannot be sent: %s",
                      static_cast<unsigned long long>(read_to_) + reader.offset(),
                      got == CsvRow::Bad ? reader.why() : "not this log's columns");
                const std::lock_guard<std::mutex> hold(lock_);
                ++status_.refused;
                continue;
            }
            rows_.push_back(Row{fields, read_to_ + used, 0});
        }
        read_to_ += used;
        if (chunk.size() < READ_CHUNK || used == 0) return true;
    }
}

void LineKeeper::send_rows(std::string& reason, DbFault& fault) {
    std::uint64_t sent_to = marked_;
    while (!rows_.empty()) {
        Row& row = rows_.front();
        DbError error;
        if (!database_.insert_box(row.fields, error)) {
            reason = brief_db_reason(error);
            fault = error.fault;
            if (error.fault != DbFault::Failed || ++row.tries < ROW_TRIES) break;
            trace("database: the row of %s at %s was refused %d times, and stays in the log alone: %s",
                  row.fields[3].c_str(), row.fields[0].c_str(), ROW_TRIES, error.message.c_str());
            const std::lock_guard<std::mutex> hold(lock_);
            ++status_.refused;
        } else {
            reason.clear();
            fault = DbFault::None;
        }
        sent_to = row.end;
        rows_.pop_front();
    }
    if (sent_to != marked_ && !mark(sent_to)) {
        trace("database: cannot write the outbox %s (%s): its rows are sent again later",
              outbox_path_.c_str(), system_words(outbox_.error()).c_str());
    }
}

bool LineKeeper::mark(std::uint64_t offset) {
    const std::string line = "sent " + std::to_string(offset) + " " + utc_now() + "\r\n";
    if (!outbox_.append_locked(line.data(), line.size())) return false;
    marked_ = offset;
    return true;
}
