// A station's link to the line's database, on a thread of its own. It keeps
// the journal supplied with leases of the line's pool (early enough that
// every port can start a box without waiting, never more than two held), and
// sends every row of the log to stb_boxes, in order, once each.
//
// The outbox: the rows of the log after the mark that LOG.outbox holds
// ("sent OFFSET TIME": every row before that byte of the log is in the
// database). A row reaches the log first, forced to the disk; the mark
// moves only once the database took the rows before it. A kill at any
// moment leaves rows after the mark, sent again at the next start, and the
// database skips those it has. The outbox is locked while its station
// runs: one station a log.
//
// Mutex rules: `lock_` guards `status_`, `stopping_`, `stop_by_` and
// `woken_`; the thread waits on `wake_` with it held. The database, the
// outbox, the log's reader and the rows read belong to the keeper's thread
// while it runs (to the caller before start() and after stop()). The
// journal guards itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/record_file.h"
#include "db/line_database.h"
#include "session/job.h"
#include "session/number_journal.h"

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

class LineKeeper {
public:
    // `numbers`: the station's own journal, or null for a job without
    // numbers; `ports`: how many boxes may start at once. The password, if
    // any, comes from STBLOAD_DB_PASSWORD.
    LineKeeper(const Job& job, std::string log_path, NumberJournal* numbers, std::string station, unsigned ports);
    ~LineKeeper();
    LineKeeper(const LineKeeper&) = delete;
    LineKeeper& operator=(const LineKeeper&) = delete;

    // Claims the outbox, reads its mark, and reaches the database: its
    // schema made or checked, and a first lease taken when the journal has
    // no value. `problem` says what is wrong, never with the password.
    LineOpen open(std::string& problem);
    // The thread, from here until stop().
    void start();
    // A row reached the log, or values were taken: the keeper looks now.
    void wake();
    // Ends the thread after trying for up to `grace_s` to send what waits.
    void stop(double grace_s);

    LineStatus status() const;
    // "database: 12 rows waiting (connection refused)", "database: every row sent".
    std::string status_line() const;
    // Why a box waits for numbers: "database unreachable".
    std::string numbers_wait_reason() const;
    const std::string& outbox_path() const { return outbox_path_; }

private:
    void run();
    void top_up(std::string& reason, DbFault& fault);
    bool read_rows();
    void send_rows(std::string& reason, DbFault& fault);
    bool mark(std::uint64_t offset);
    void note(const std::string& reason, DbFault fault, bool reached);

    const Job& job_;
    std::string log_path_;
    std::string outbox_path_;
    NumberJournal* numbers_;
    std::string station_;
    unsigned ports_;
    std::vector<PoolField> fields_;
    LineDatabase database_;
    // The keeper's thread's own:
    RecordFile outbox_;
    RecordFile log_;
    std::uint64_t marked_ = 0;   // the outbox's mark
    std::uint64_t read_to_ = 0;  // the log read up to here
    struct Row {
        std::vector<std::string> fields;
        std::uint64_t end;  // the log's offset after it
        int tries;
    };
    std::deque<Row> rows_;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    LineStatus status_;
    bool woken_ = false;
    bool stopping_ = false;
    double stop_by_ = 0;
    std::thread thread_;
};

// The job's connection string with the password from STBLOAD_DB_PASSWORD,
// if set, added; `secret` gets that password.
std::string line_connection(const LineSettings& line, std::string& secret);

// The journal and outbox of a station under the line's database, beside its log.
std::string line_journal_path(const std::string& log_path);
std::string line_outbox_path(const std::string& log_path);
