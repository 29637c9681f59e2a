#include "line/outbox.h"

#include "console/clock.h"
#include "console/system_error.h"
#include "console/trace.h"
#include "records/csv_reader.h"
#include "records/log_columns.h"

namespace {

constexpr char OUTBOX_HEADER[] = "stbload outbox 1\r\n";
constexpr std::size_t READ_CHUNK = std::size_t{1} << 20;
constexpr std::size_t TAIL = 4096;  // the outbox's end, where its last mark is

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

std::string line_journal_path(const std::string& log_path) {
    return log_path + ".numbers";
}

std::string line_outbox_path(const std::string& log_path) {
    return log_path + ".outbox";
}

std::string Outbox::error() const {
    return system_words(outbox_.error());
}

bool Outbox::claim(const std::string& log_path, std::string& problem) {
    log_path_ = log_path;
    path_ = line_outbox_path(log_path);
    if (!outbox_.open(path_.c_str())) {
        problem = "cannot open the outbox " + path_ + ": " + error();
        return false;
    }
    if (!outbox_.try_lock()) {
        problem = "the outbox " + path_ + " is in use: another stbload runs under the line's database with "
                  "the log " + log_path_ + "; give each station a log of its own";
        return false;
    }
    if (!log_.open(log_path_.c_str())) {
        problem = "cannot read the log " + log_path_ + ": " + system_words(log_.error());
        return false;
    }
    const std::int64_t log_size = log_.size();
    const std::int64_t outbox_size = outbox_.size();
    std::string tail;
    const std::uint64_t size = outbox_size > 0 ? static_cast<std::uint64_t>(outbox_size) : 0;
    if (size > 0 && !outbox_.read_at(size > TAIL ? size - TAIL : 0, TAIL, tail)) {
        problem = "cannot read the outbox " + path_ + ": " + error();
        return false;
    }
    if (size == 0) {
        // A new outbox: the rows the log held before belong to the bench alone.
        marked_ = static_cast<std::uint64_t>(log_size > 0 ? log_size : 0);
        if (!outbox_.append_locked(OUTBOX_HEADER, sizeof OUTBOX_HEADER - 1) || !mark(marked_)) {
            problem = "cannot write the outbox " + path_ + ": " + error();
            return false;
        }
    } else if (!last_mark(tail, marked_) || marked_ > static_cast<std::uint64_t>(log_size)) {
        // No mark (a kill just after the outbox was made), or a log that is
        // not the one it marked: every row of the log is sent, and those the
        // database has are skipped.
        trace("database: the outbox %s has no mark within the log: the whole log is sent", path_.c_str());
        marked_ = 0;
    }
    read_to_ = marked_;
    return true;
}

// D3: called only with an offset before which the database holds every row.
bool Outbox::mark(std::uint64_t offset) {
    const std::string line = "sent " + std::to_string(offset) + " " + utc_now() + "\r\n";
    if (!outbox_.append_locked(line.data(), line.size())) return false;
    marked_ = offset;
    return true;
}

void Outbox::read_rows(std::deque<OutboxRow>& rows, std::size_t& bad) {
    for (;;) {
        std::string chunk;
        if (!log_.read_at(read_to_, READ_CHUNK, chunk)) return;
        CsvReader reader;
        reader.open_text(chunk);
        std::vector<std::string> fields;
        std::uint64_t used = 0;
        for (;;) {
            const CsvRow got = reader.next(fields);
            if (got == CsvRow::End) break;
            if (got == CsvRow::Bad && reader.offset() >= chunk.size()) break;  // not whole yet
            used = reader.offset();
            if (got == CsvRow::Row && fields[col::STARTED] == LOG_COLUMNS[col::STARTED].name) continue;  // the header
            if (got == CsvRow::Bad || fields.size() != LOG_COLUMN_COUNT) {
                trace("database: the log's row at byte %llu cannot be sent: %s",
                      static_cast<unsigned long long>(read_to_) + reader.offset(),
                      got == CsvRow::Bad ? reader.why() : "not this log's columns");
                ++bad;
                continue;
            }
            rows.push_back(OutboxRow{fields, read_to_ + used, 0});
        }
        read_to_ += used;
        if (chunk.size() < READ_CHUNK || used == 0) return;
    }
}
