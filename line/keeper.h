// A station's link to the line's database, on a thread of its own. It keeps
// the journal supplied with leases of the line's pool (early enough that
// every port can start a box without waiting, never more than two held), and
// sends every row of the log to the pool's table of boxes, in order, once
// each, through the outbox (line/outbox.h).
//
// Mutex rules: `lock_` guards `status_`, `woken_`, `stopping_` and
// `stop_by_`; the thread waits on `wake_` with it held; the trace's lock may
// be taken inside it (the order: console/thread_safety.h). The pool, the
// outbox and the rows read belong to the keeper's thread while it runs (to
// the caller before start() and after stop()). The journal guards itself.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console/thread_safety.h"
#include "db/line_pool.h"
#include "job/job.h"
#include "job/leased_journal.h"
#include "line/approval.h"
#include "line/outbox.h"

// What the station shows of the database.
struct LineStatus {
    bool reached = false;       // the last call reached the database
    std::size_t waiting = 0;    // rows of the log not yet in the database
    std::size_t refused = 0;    // rows the database would not take (the trace names them)
    std::string reason;         // why the last call failed, in a few words
    DbFault fault = DbFault::None;
};

enum class LineOpen {
    Ready,        // the database answered and its schema is this tool's
    Unreachable,  // no answer: the station runs on its journal's lease
    Refused,      // a login, driver or schema fault, or the outbox in use: nothing may be flashed
};

// How often a running station looks whether its job's approval still stands.
constexpr double APPROVAL_LOOK_S = 10.0;

class LineKeeper {
public:
    // `numbers`: the station's own journal, or null for a job without
    // numbers; `ports`: how many boxes may start at once; `pool`: the line's
    // database (or, in the tests, one in memory).
    LineKeeper(const Job& job, std::string log_path, LeasedJournal* numbers, std::string station, unsigned ports,
               std::unique_ptr<LinePool> pool);
    ~LineKeeper();
    LineKeeper(const LineKeeper&) = delete;
    LineKeeper& operator=(const LineKeeper&) = delete;

    // Under a job that needs an approval: the guard that judges it, at the
    // open and again every APPROVAL_LOOK_S while the keeper runs. Set before open().
    void guard_approval(ApprovalGuard* guard) { approval_ = guard; }
    // "job revoked by supervisor1" once the job's approval no longer stands.
    std::string revoked() const { return approval_ != nullptr ? approval_->revoked() : std::string(); }
    // The approval the rows carry, or empty.
    std::string approval_id() const { return approval_ != nullptr ? approval_->id() : std::string(); }

    // Claims the outbox, reads its mark, and reaches the database: its
    // schema made or checked, and a first lease taken when the journal has
    // no value. `problem` says what is wrong, never with the password.
    LineOpen open(std::string& problem);
    // The thread, from here until stop().
    void start();
    // A row reached the log, or values were taken: the keeper looks now.
    void wake() EXCLUDES(lock_);
    // Ends the thread after trying for up to `grace_s` to send what waits.
    void stop(double grace_s) EXCLUDES(lock_);
    // One round of the thread's work, for a caller without the thread (the tests).
    void keep() EXCLUDES(lock_);

    LineStatus status() const EXCLUDES(lock_);
    // "database: 12 rows waiting (connection refused)", "database: every row sent".
    std::string status_line() const EXCLUDES(lock_);
    // Why a box waits for numbers: "database unreachable".
    std::string numbers_wait_reason() const EXCLUDES(lock_);
    const std::string& outbox_path() const { return outbox_.path(); }

private:
    void run() EXCLUDES(lock_);
    bool done() REQUIRES(lock_);
    void top_up(std::string& reason, DbFault& fault);
    LeaseResult take_one_lease(std::string& reason, DbFault& fault);
    void send_rows(std::string& reason, DbFault& fault) EXCLUDES(lock_);
    void note(const std::string& reason, DbFault fault, bool reached) EXCLUDES(lock_);

    const Job& job_;
    std::string log_path_;
    LeasedJournal* numbers_;
    std::string station_;
    unsigned ports_;
    std::vector<PoolField> fields_;
    std::unique_ptr<LinePool> pool_;
    ApprovalGuard* approval_ = nullptr;
    // The keeper's thread's own:
    double approval_looked_ = 0;
    Outbox outbox_;
    std::deque<OutboxRow> rows_;
    std::size_t bad_rows_ = 0;

    mutable Mutex lock_;
    Condition wake_;
    LineStatus status_ GUARDED_BY(lock_);
    bool woken_ GUARDED_BY(lock_) = false;
    bool stopping_ GUARDED_BY(lock_) = false;
    double stop_by_ GUARDED_BY(lock_) = 0;
    std::thread thread_;
};

// The job's connection string with the user from STBLOAD_DB_USER and the
// password from STBLOAD_DB_PASSWORD, if set, in it; `secret` gets that password.
std::string line_connection(const LineSettings& line, std::string& secret);
