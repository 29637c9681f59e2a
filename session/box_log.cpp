#include "session/box_log.h"

#include <cstdio>

#include "console/system_error.h"

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

std::string csv_row(const BoxRecord& r) {
    const std::string fields[] = {r.started, r.ended, r.station, r.port, r.device, r.adapter, r.file, r.crc32,
                                  r.sha256, r.result, seconds_field(r.erase_s), seconds_field(r.transfer_s),
                                  seconds_field(r.flash_write_s), std::to_string(r.bytes_sent), r.reason};
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
}

bool BoxLog::open(const std::string& path, std::string& error) {
    const std::lock_guard<std::mutex> hold(lock_);
    path_ = path;
    bool written = file_.open(path.c_str());
    if (written && file_.ends_torn()) written = file_.append("\r\n", 2);
    if (written && file_.was_empty()) written = file_.append(BOX_LOG_HEADER, sizeof BOX_LOG_HEADER - 1);
    if (!written) error = system_words(file_.error());
    return written;
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
