// The outbox of a station under the line's database: the rows of its log
// after the mark that LOG.outbox holds ("sent OFFSET TIME": every row before
// that byte of the log is in the database, durability rule D3), read as
// they come. A row reaches the log first, forced to the disk; the mark moves
// only once the database took the rows before it. A kill at any moment
// leaves rows after the mark, sent again at the next start, and the
// database skips those it has. The outbox is locked while its station runs:
// one station a log. An Outbox belongs to one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "console/record_file.h"

struct OutboxRow {
    std::vector<std::string> fields;
    std::uint64_t end = 0;  // the log's offset after it
    int tries = 0;          // refusals so far
};

class Outbox {
public:
    // Claims the outbox beside `log_path` and reads its mark; a new outbox
    // marks the log's end (its earlier rows are the bench's alone). False,
    // with `problem`, when it cannot be used or another station holds it.
    bool claim(const std::string& log_path, std::string& problem);
    const std::string& path() const { return path_; }
    std::uint64_t marked() const { return marked_; }

    // Moves the mark to `offset` (every row before it is in the database).
    bool mark(std::uint64_t offset);
    // The system's words for the last failure.
    std::string error() const;

    // The log's whole rows read since the last call, appended to `rows`; a
    // torn last row waits for its end. Rows that are not this log's (bad, or
    // of other columns) are counted in `bad` and named in the trace.
    void read_rows(std::deque<OutboxRow>& rows, std::size_t& bad);

private:
    std::string log_path_;
    std::string path_;
    RecordFile outbox_;
    RecordFile log_;
    std::uint64_t marked_ = 0;   // the mark
    std::uint64_t read_to_ = 0;  // the log read up to here
};

// The journal and outbox of a station under the line's database, beside its log.
std::string line_journal_path(const std::string& log_path);
std::string line_outbox_path(const std::string& log_path);
