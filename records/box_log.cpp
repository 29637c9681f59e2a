#include "records/box_log.h"

#include <algorithm>
#include <cstdio>

#include "console/system_error.h"
#include "records/log_columns.h"
#include "records/csv_reader.h"

bool box_row_starts(const char* line, std::size_t size) {
    static const char shape[] = "dddd-dd-ddTdd:dd:dd.dddZ,";
    if (size < sizeof shape - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof shape; ++i) {
        const bool fits = shape[i] == 'd' ? line[i] >= '0' && line[i] <= '9' : line[i] == shape[i];
        if (!fits) return false;
    }
    return true;
}

namespace {

// Why a log that starts with `start` is not this one's, or empty if it is.
std::string foreign_header(const std::string& start) {
    if (start == log_header()) return std::string();
    if (start.rfind(log_header(LOG_COLUMNS_BEFORE_APPROVALS), 0) == 0) {
        return "its header is that of an earlier build of stbload 1.2, without the approval, operator and "
               "work_order columns";
    }
    return start.rfind(log_header(LOG_COLUMNS_BEFORE_JOBS), 0) == 0
               ? "its header is that of stbload 1.1 and before, without the job's five columns"
               : "its first line is not the header of stbload's results log";
}

// How far back the last row's start is looked for: many times the longest
// row the reader takes.
constexpr std::uint64_t TAIL_BLOCK = std::uint64_t{64} * 1024;
constexpr std::uint64_t TAIL_MOST = std::uint64_t{1024} * 1024;

// What a log needs appended so that the next row starts on a line of its own
// after a power cut tore its last row: a closing quote if the tear was inside
// a quoted field (the quotes from the last line that starts a row on are odd
// in number, every quote of a whole row having its pair), then the line end
// ("\n" alone after a CR). Empty for a log that ends whole. False if the
// file cannot be read.
// D6: the torn row is ended before the next one is appended.
bool torn_end_repair(RecordFile& file, std::string& repair) {
    repair.clear();
    const std::int64_t size = file.size();
    if (size <= 0) return size == 0;
    const auto end = static_cast<std::uint64_t>(size);
    std::uint64_t from = end;
    std::string tail;  // the file from `from` to its end
    std::size_t row = std::string::npos;
    while (row == std::string::npos && from > 0 && end - from < TAIL_MOST) {
        const std::uint64_t start = from > TAIL_BLOCK ? from - TAIL_BLOCK : 0;
        std::string block;
        if (!file.read_at(start, static_cast<std::size_t>(from - start), block)) return false;
        tail.insert(0, block);
        from = start;
        // A row starts after a line end (the file's first line is the header).
        for (std::size_t at = tail.rfind('\n'); at != std::string::npos && row == std::string::npos;
             at = at == 0 ? std::string::npos : tail.rfind('\n', at - 1)) {
            const std::size_t rest = tail.size() - at - 1;
            if (box_row_starts(tail.data() + at + 1, std::min(rest, CsvReader::ROW_START_BYTES))) row = at + 1;
        }
    }
    if (tail.empty()) return true;
    const auto quotes = row == std::string::npos ? 0 : std::count(tail.begin() + static_cast<std::ptrdiff_t>(row),
                                                                     tail.end(), '"');
    if (quotes % 2 == 1) {
        repair = "\"\r\n";
    } else if (tail.back() == '\r') {
        repair = "\n";
    } else if (tail.back() != '\n') {
        repair = "\r\n";
    }
    return true;
}

}  // namespace

bool log_header_usable(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return true;  // made when it is first written
    std::string start(log_header().size(), '\0');
    start.resize(std::fread(&start[0], 1, start.size(), file));
    std::fclose(file);
    error = start.empty() ? std::string() : foreign_header(start);
    return error.empty();
}

LogOpen BoxLog::open(const std::string& path, std::string& error) {
    const MutexLock hold(lock_);
    path_ = path;
    if (!file_.open(path.c_str())) {
        error = system_words(file_.error());
        return LogOpen::CannotOpen;
    }
    // Under the file's lock: another station or download of the same job may
    // be making the same new log just now.
    file_.lock();
    std::string start;
    LogOpen opened = LogOpen::Opened;
    bool written = file_.read_at(0, log_header().size(), start);
    if (written && start.empty()) {
        written = file_.append_locked(log_header().data(), log_header().size());
    } else if (written && start != log_header()) {
        error = foreign_header(start);
        opened = LogOpen::ForeignHeader;
    } else if (written) {
        std::string repair;
        written = torn_end_repair(file_, repair) &&
                  (repair.empty() || file_.append_locked(repair.data(), repair.size()));
    }
    file_.unlock();
    if (!written) {
        error = system_words(file_.error());
        opened = LogOpen::CannotOpen;
    }
    if (opened != LogOpen::Opened) file_.close();
    return opened;
}

bool BoxLog::write_waiting() {
    while (!waiting_.empty()) {
        if (!file_.append(waiting_.front().data(), waiting_.front().size())) {
            error_ = file_.error();
            return false;
        }
        waiting_.pop_front();
    }
    return true;
}

bool BoxLog::write(const BoxRecord& record) {
    const MutexLock hold(lock_);
    waiting_.push_back(csv_row(record));
    return write_waiting();
}

bool BoxLog::retry() {
    const MutexLock hold(lock_);
    return write_waiting();
}

std::size_t BoxLog::waiting(std::string& reason) {
    const MutexLock hold(lock_);
    if (!waiting_.empty()) reason = system_words(error_);
    return waiting_.size();
}

std::deque<std::string> BoxLog::take_waiting() {
    const MutexLock hold(lock_);
    std::deque<std::string> rows;
    rows.swap(waiting_);
    return rows;
}
