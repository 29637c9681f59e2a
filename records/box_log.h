// The results log: CSV (RFC 4180), one row per box, each row written with
// one write and forced to the disk before the front end shows the box's end.
// Rows that cannot be written wait, in order, and are tried again.
//
// Mutex rules: `lock_` guards the file and the rows waiting; each public
// function holds it for its whole body, and the file's lock (between
// processes) is taken inside it.
#pragma once

#include <deque>
#include <string>

#include "console/record_file.h"
#include "console/thread_safety.h"
#include "records/box_record.h"

// Whether a line of the log starts a box's row: it begins with the row's
// started time, "2026-12-09T05:40:12.345Z," (the same in logs of every
// header). `size` bytes of the line are given, a RowStart of the CSV reader.
bool box_row_starts(const char* line, std::size_t size);

// Whether the log at `path` could be appended to: it is missing, empty, or
// starts with this log's header. `error` says why not.
bool log_header_usable(const std::string& path, std::string& error);

enum class LogOpen {
    Opened,
    CannotOpen,     // cannot be created, read or written: see the error
    ForeignHeader,  // its first line is not this log's header (an older log, another program's file)
};

class BoxLog {
public:
    // Opens or creates the log: a new one gets the header, and one whose last
    // line was torn (a power cut) gets a line end first, after a closing
    // quote if the tear was inside a quoted field, so that the next row is a
    // row of its own. A log whose header is another is left as it is.
    // `error` says why in words.
    LogOpen open(const std::string& path, std::string& error) EXCLUDES(lock_);

    // Writes the row now, or keeps it for a later try if that fails (the
    // rows before it are tried first). True when it is on the disk.
    bool write(const BoxRecord& record) EXCLUDES(lock_);

    // Tries the rows that wait again. True when none waits.
    bool retry() EXCLUDES(lock_);

    // Rows waiting, and why the last write failed.
    std::size_t waiting(std::string& reason) EXCLUDES(lock_);

    // The rows still waiting, taken out of the log.
    std::deque<std::string> take_waiting() EXCLUDES(lock_);

private:
    bool write_waiting() REQUIRES(lock_);

    Mutex lock_;
    RecordFile file_ GUARDED_BY(lock_);
    std::string path_ GUARDED_BY(lock_);
    std::deque<std::string> waiting_ GUARDED_BY(lock_);
    int error_ GUARDED_BY(lock_) = 0;
};
