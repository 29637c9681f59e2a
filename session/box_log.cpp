#include "session/box_log.h"

#include <algorithm>
#include <cstdio>

#include "console/system_error.h"
#include "session/csv_reader.h"

namespace {

// A field as RFC 4180 has it: in double quotes, with its quotes doubled,
// when it holds a comma, a quote or a line end.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string seconds_field(double seconds) {
    if (seconds < 0) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

std::string system_words(int error) {
    char words[256];
    describe_system_error(error, words, sizeof words);
    return words;
}

}  // namespace

bool box_row_starts(const char* line, std::size_t size) {
    static const char shape[] = "dddd-dd-ddTdd:dd:dd.dddZ,";
    if (size < sizeof shape - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof shape; ++i) {
        const bool fits = shape[i] == 'd' ? line[i] >= '0' && line[i] <= '9' : line[i] == shape[i];
        if (!fits) return false;
    }
    return true;
}

std::string csv_row(const BoxRecord& r) {
    const std::string fields[] = {r.started, r.ended, r.station, r.port, r.device, r.adapter, r.file, r.crc32,
                                  r.sha256, r.result, seconds_field(r.erase_s), seconds_field(r.transfer_s),
                                  seconds_field(r.flash_write_s), std::to_string(r.bytes_sent), r.reason, r.job,
                                  r.box_id, r.unique, r.box_crc32, r.boot};
    std::string row;
    for (const std::string& field : fields) row += (row.empty() ? "" : ",") + csv_field(field);
    // An empty first field still makes a row of its own.
    return row + "\r\n";
}

void take_result(BoxRecord& record, const BoxResult& result) {
    record.started = result.started;
    record.ended = result.ended;
    record.result = outcome_word(result.outcome);
    record.erase_s = result.erase_s;
    record.transfer_s = result.transfer_s;
    record.flash_write_s = result.flash_write_s;
    record.bytes_sent = result.bytes_sent;
    record.reason = result.reason;
    record.box_id = result.box_id;
    record.unique = result.unique;
    record.box_crc32 = result.box_crc32;
    record.boot = result.boot;
}

namespace {

// Why a log that starts with `start` is not this one's, or empty if it is.
std::string foreign_header(const std::string& start) {
    if (start == BOX_LOG_HEADER) return std::string();
    return start.rfind(BOX_LOG_HEADER_BEFORE_JOBS, 0) == 0
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
    std::string start(sizeof BOX_LOG_HEADER - 1, '\0');
    start.resize(std::fread(&start[0], 1, start.size(), file));
    std::fclose(file);
    error = start.empty() ? std::string() : foreign_header(start);
    return error.empty();
}

LogOpen BoxLog::open(const std::string& path, std::string& error) {
    const std::lock_guard<std::mutex> hold(lock_);
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
    bool written = file_.read_at(0, sizeof BOX_LOG_HEADER - 1, start);
    if (written && start.empty()) {
        written = file_.append_locked(BOX_LOG_HEADER, sizeof BOX_LOG_HEADER - 1);
    } else if (written && start != BOX_LOG_HEADER) {
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
    const std::lock_guard<std::mutex> hold(lock_);
    waiting_.push_back(csv_row(record));
    return write_waiting();
}

bool BoxLog::retry() {
    const std::lock_guard<std::mutex> hold(lock_);
    return write_waiting();
}

std::size_t BoxLog::waiting(std::string& reason) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!waiting_.empty()) reason = system_words(error_);
    return waiting_.size();
}

std::deque<std::string> BoxLog::take_waiting() {
    const std::lock_guard<std::mutex> hold(lock_);
    std::deque<std::string> rows;
    rows.swap(waiting_);
    return rows;
}
