#include "session/number_journal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "console/clock.h"
#include "console/system_error.h"
#include "session/box_log.h"
#include "session/csv_reader.h"
#include "session/unique_value.h"

namespace {

constexpr char HEADER[] = "stbload numbers 1";
constexpr char TORN[] = " # torn";
constexpr char TORN_END[] = " # torn\r\n";  // what ends a line that a power cut tore
constexpr std::size_t READ_CHUNK = std::size_t{64} * 1024;  // far more than any line, and cheap to take at each box

std::string system_words(int error) {
    char words[256];
    describe_system_error(error, words, sizeof words);
    return words;
}

std::string utc_now() {
    char text[40];
    format_utc(std::chrono::system_clock::now(), text, sizeof text);
    return text;
}

// A value in a journal line: blanks, '=', '%', '#' and line ends as %XX.
std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || c == '=' || c == '%' || c == '#' || byte == 0x7F) {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < line.size()) {
        const std::size_t blank = line.find(' ', start);
        const std::size_t end = blank == std::string::npos ? line.size() : blank;
        if (end > start) words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// 0 when the file at `path` can be read, else why not (ENOENT: it is not there).
int open_error(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return errno;
    std::fclose(file);
    return 0;
}

bool ends_with(const std::string& text, const char* end) {
    const std::size_t size = std::strlen(end);
    return text.size() >= size && text.compare(text.size() - size, size, end) == 0;
}

}  // namespace

bool NumberJournal::read_values(const std::vector<std::string>& words, std::size_t from,
                                std::vector<std::uint64_t>& values, std::string& why) {
    values.assign(fields_.size(), 0);
    std::vector<bool> found(fields_.size(), false);
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        const std::string key = fields_[f].name + "=";
        for (std::size_t w = from; w < words.size(); ++w) {
            if (words[w].compare(0, key.size(), key) != 0) continue;
            if (!parse_unique_text(fields_[f], words[w].substr(key.size()), values[f])) {
                why = "line " + std::to_string(lines_) + ": " + words[w] + " is no value of the job's " +
                      fields_[f].name + " (was the field changed? rename it, or make a new journal for it)";
                return false;
            }
            if (found[f]) {  // which of the two was given? neither may be taken as the truth
                why = "line " + std::to_string(lines_) + " names " + fields_[f].name + " twice";
                return false;
            }
            found[f] = true;
        }
    }
    // A take names every field; a field the job gained since has none there.
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        if (!found[f]) values[f] = UINT64_MAX;
    }
    return true;
}

bool NumberJournal::read_line(const std::string& line, std::string& why) {
    ++lines_;
    if (line.empty() || line[0] == '#' || ends_with(line, TORN) || line == HEADER) return true;
    const std::vector<std::string> words = words_of(line);
    if (words.empty() || words[0] == "end") return true;  // a line of blanks says nothing
    std::vector<std::uint64_t> values;
    if (words[0] == "lease" && words.size() >= 4 && words[3].rfind("count=", 0) == 0) {
        const std::string count = words[3].substr(6);
        char* count_end = nullptr;
        const unsigned long long held = std::strtoull(count.c_str(), &count_end, 10);
        if (count.empty() || *count_end != '\0' || held == 0 || !read_values(words, 1, values, why)) {
            if (why.empty()) why = "line " + std::to_string(lines_) + " is no lease: " + line.substr(0, 80);
            return false;
        }
        for (std::size_t f = 0; f < fields_.size(); ++f) {
            if (values[f] == UINT64_MAX) {
                why = "line " + std::to_string(lines_) + ": a lease without a value of every field";
                return false;
            }
            // Every value of the lease must be one the job may give: a box
            // never gets a value past its field's range, whose bytes would not fit.
            const UniqueField& field = fields_[f];
            if (values[f] < field.first || values[f] > field.last || held - 1 > field.last - values[f]) {
                why = "line " + std::to_string(lines_) + ": a lease of " + field.name +
                      " values outside the job's range (was the field changed? make a new journal for it)";
                return false;
            }
        }
        leases_.push_back(HeldLease{values, held});
        return true;
    }
    if (words[0] != "take" || words.size() < 2) {
        why = "line " + std::to_string(lines_) + " is no journal line: " + line.substr(0, 80);
        return false;
    }
    // Every word that names a field counts, wherever it stands: a value of a
    // damaged line is still one that a box may have got.
    if (!read_values(words, 1, values, why)) return false;
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        if (values[f] == UINT64_MAX) continue;
        if (!given_[f] || values[f] > highest_[f]) highest_[f] = values[f];
        given_[f] = true;
    }
    return true;
}

bool NumberJournal::catch_up(std::string& why) {
    for (;;) {
        std::string chunk;
        if (!file_.read_at(read_to_, READ_CHUNK, chunk)) {
            why = "cannot read it: " + system_words(file_.error());
            return false;
        }
        std::size_t start = 0;
        for (std::size_t stop = chunk.find('\n'); stop != std::string::npos; stop = chunk.find('\n', start)) {
            std::string line = chunk.substr(start, stop - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!read_line(line, why)) return false;
            start = stop + 1;
        }
        read_to_ += start;  // a last line without its end (torn) is left for later
        if (chunk.size() < READ_CHUNK) return true;
        if (start == 0) {
            why = "line " + std::to_string(lines_ + 1) + " is longer than any journal line";
            return false;
        }
    }
}

bool NumberJournal::open(const Job& job, const std::string& log_path, std::string& problem,
                         std::vector<std::string>& detail, bool look_only) {
    const std::lock_guard<std::mutex> hold(lock_);
    path_ = job.journal_path();
    fields_ = job.unique;
    leased_ = false;
    const int missing_error = open_error(path_);
    const bool existing = missing_error == 0;
    if (!existing && missing_error != ENOENT) {
        problem = "the journal " + path_ + " of the job's numbers cannot be read: " + system_words(missing_error);
        detail.push_back("without it the numbers could only start again from the first, and repeat: mend its "
                         "rights, or restore it");
        return false;
    }
    if (!existing) {
        std::vector<std::uint64_t> highest;
        const std::string last = last_values_in_log(job, log_path, highest);
        if (!last.empty()) {
            problem = "the journal " + path_ + " of the job's numbers is missing, but " + log_path +
                      " holds numbers that the job gave";
            detail.push_back("the last given: " + last);
            detail.push_back("to go on after them, make " + path_ + " with these two lines (or restore it):");
            detail.push_back(HEADER);
            detail.push_back("take " + utc_now() + " station=rebuilt port=- " + unique_pairs(fields_, highest));
            return false;
        }
    }
    return open_file(look_only, existing, problem, detail);
}

bool NumberJournal::open_leased(const Job& job, const std::string& path, std::string& problem, bool look_only) {
    const std::lock_guard<std::mutex> hold(lock_);
    path_ = path;
    fields_ = job.unique;
    leased_ = true;
    // A journal that went takes its leases' unused values with it: the pool
    // has moved on past them, so nothing is given twice, and none is lost
    // but those.
    const int missing_error = open_error(path_);
    const bool existing = missing_error == 0;
    if (!existing && missing_error != ENOENT) {
        problem = "the journal " + path_ + " of this station's numbers cannot be read: " + system_words(missing_error);
        return false;
    }
    std::vector<std::string> detail;
    const bool opened = open_file(look_only, existing, problem, detail);
    for (const std::string& note : detail) problem += "; " + note;
    return opened;
}

// Reads the journal whole, making it (with its header) when it is new;
// `look_only` takes one that does not `exist` as empty, and makes nothing.
bool NumberJournal::open_file(bool look_only, bool exists, std::string& problem, std::vector<std::string>& detail) {
    highest_.assign(fields_.size(), 0);
    given_.assign(fields_.size(), false);
    leases_.clear();
    read_to_ = 0;
    lines_ = 0;
    missing_ = false;
    if (look_only && !exists) {
        missing_ = true;
        return true;
    }
    if (!file_.open(path_.c_str())) {
        problem = "the journal " + path_ + " of the job's numbers cannot be made: " + system_words(file_.error());
        return false;
    }
    file_.lock();
    bool usable = true;
    if (file_.size() == 0 && !look_only) {
        const std::string header = std::string(HEADER) + "\r\n";
        usable = file_.append_locked(header.data(), header.size());
        if (!usable) problem = "the journal " + path_ + " cannot be written: " + system_words(file_.error());
    }
    std::string why;
    if (usable && !catch_up(why)) {
        problem = "the journal " + path_ + " of the job's numbers: " + why;
        detail.push_back("no number is given while it cannot be read: mend or restore it");
        usable = false;
    }
    file_.unlock();
    if (!usable) file_.close();
    return usable;
}

std::uint64_t NumberJournal::given_of(const HeldLease& lease) const {
    // The fields of a lease move together; the place in it is past the
    // highest value given of any field, so that none comes again even from
    // a journal whose takes do not keep step.
    std::uint64_t given = 0;
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        if (!given_[f] || highest_[f] < lease.first[f]) continue;
        const std::uint64_t past = highest_[f] - lease.first[f];
        if (past >= lease.count - 1) return lease.count;
        if (past + 1 > given) given = past + 1;
    }
    return given;
}

bool NumberJournal::next_leased(std::vector<std::uint64_t>& values) const {
    for (const HeldLease& lease : leases_) {
        const std::uint64_t given = given_of(lease);
        if (given == lease.count) continue;
        values.clear();
        for (const std::uint64_t start : lease.first) values.push_back(start + given);
        return true;
    }
    return false;
}

std::uint64_t NumberJournal::leased_left() const {
    std::uint64_t remaining = 0;
    for (const HeldLease& lease : leases_) remaining += lease.count - given_of(lease);
    return remaining;
}

std::vector<std::uint64_t> NumberJournal::next() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return next_values();
}

std::vector<std::uint64_t> NumberJournal::next_values() const {
    std::vector<std::uint64_t> values;
    if (leased_) {
        if (!next_leased(values)) values.assign(fields_.size(), 0);
        return values;
    }
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        const std::uint64_t after = given_[f] ? highest_[f] + 1 : fields_[f].first;
        values.push_back(after > fields_[f].first ? after : fields_[f].first);
    }
    return values;
}

std::vector<std::uint64_t> NumberJournal::left_values() const {
    if (leased_) return std::vector<std::uint64_t>(fields_.size(), leased_left());
    std::vector<std::uint64_t> values = next_values();
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        const bool none = (given_[f] && highest_[f] >= fields_[f].last) || values[f] > fields_[f].last;
        values[f] = none ? 0 : fields_[f].last - values[f] + 1;
    }
    return values;
}

std::vector<std::uint64_t> NumberJournal::left() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return left_values();
}

std::string NumberJournal::used_up() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return spent_field();
}

std::string NumberJournal::spent_field() const {
    if (leased_) return leased_left() == 0 ? pool_used_up_ : std::string();
    const std::vector<std::uint64_t> remaining = left_values();
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        if (remaining[f] == 0) return fields_[f].name;
    }
    return std::string();
}

bool NumberJournal::may_give() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return !leased_ || leased_left() > 0 || !pool_used_up_.empty();
}

std::uint64_t NumberJournal::lease_left() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return leased_left();
}

unsigned NumberJournal::leases_held() const {
    const std::lock_guard<std::mutex> hold(lock_);
    unsigned held = 0;
    for (const HeldLease& lease : leases_) {
        if (given_of(lease) < lease.count) ++held;
    }
    return held;
}

bool NumberJournal::add_lease(const std::string& station, const std::vector<std::uint64_t>& first,
                              std::uint64_t count, std::string& why) {
    const std::lock_guard<std::mutex> hold(lock_);
    file_.lock();
    bool written = !file_.ends_torn() || file_.append_locked(TORN_END, sizeof TORN_END - 1);
    const std::string line = "lease " + utc_now() + " station=" + escaped(station) + " count=" +
                             std::to_string(count) + " " + unique_pairs(fields_, first) + "\r\n";
    written = written && file_.append_locked(line.data(), line.size());
    if (!written) why = "cannot write the journal " + path_ + ": " + system_words(file_.error());
    // The lease is held once read back from the disk, as at the next start.
    const bool read = written && catch_up(why);
    file_.unlock();
    if (read) pool_used_up_.clear();
    return read;
}

void NumberJournal::set_pool_used_up(const std::string& field) {
    const std::lock_guard<std::mutex> hold(lock_);
    pool_used_up_ = field;
}

TakeResult NumberJournal::take(const std::string& station, const std::string& port,
                               std::vector<std::uint64_t>& values, std::string& why) {
    const std::lock_guard<std::mutex> hold(lock_);
    file_.lock();
    // What other processes took since the last look comes first.
    TakeResult result = TakeResult::Taken;
    if (!catch_up(why)) result = TakeResult::Failed;
    values.clear();
    if (result == TakeResult::Taken && leased_ && !next_leased(values)) {
        why = pool_used_up_.empty() ? "no value at hand: this station waits for a lease from the line's database"
                                    : pool_used_up_;
        result = pool_used_up_.empty() ? TakeResult::NoneAtHand : TakeResult::UsedUp;
    }
    for (std::size_t f = 0; !leased_ && result == TakeResult::Taken && f < fields_.size(); ++f) {
        const std::uint64_t after = given_[f] ? highest_[f] + 1 : fields_[f].first;
        const std::uint64_t value = after > fields_[f].first ? after : fields_[f].first;
        if ((given_[f] && highest_[f] >= fields_[f].last) || value > fields_[f].last) {
            why = fields_[f].name;
            result = TakeResult::UsedUp;
        }
        values.push_back(value);
    }
    if (result == TakeResult::Taken) {
        bool written = !file_.ends_torn() || file_.append_locked(TORN_END, sizeof TORN_END - 1);
        const std::string line = "take " + utc_now() + " station=" + escaped(station) + " port=" + escaped(port) +
                                 " " + unique_pairs(fields_, values) + "\r\n";
        written = written && file_.append_locked(line.data(), line.size());
        if (written) {
            for (std::size_t f = 0; f < fields_.size(); ++f) {
                highest_[f] = values[f];
                given_[f] = true;
            }
        } else {
            why = "cannot write the journal " + path_ + ": " + system_words(file_.error());
            result = TakeResult::Failed;
        }
    }
    file_.unlock();
    return result;
}

void NumberJournal::end(const std::string& station, const std::string& port, const std::vector<std::uint64_t>& values,
                        const std::string& result) {
    const std::lock_guard<std::mutex> hold(lock_);
    file_.lock();
    if (!file_.ends_torn() || file_.append_locked(TORN_END, sizeof TORN_END - 1)) {
        const std::string line = "end " + utc_now() + " station=" + escaped(station) + " port=" + escaped(port) + " " +
                                 unique_pairs(fields_, values) + " result=" + escaped(result) + "\r\n";
        file_.append_locked(line.data(), line.size());  // the record of an end: one that fails loses nothing
    }
    file_.unlock();
}

std::string last_values_in_log(const Job& job, const std::string& log_path, std::vector<std::uint64_t>& highest) {
    highest.assign(job.unique.size(), 0);
    std::vector<bool> seen(job.unique.size(), false);
    CsvReader log;
    if (job.unique.empty() || !log.open(log_path)) return std::string();
    const std::vector<std::string> header = csv_fields_of(std::string(BOX_LOG_HEADER, sizeof BOX_LOG_HEADER - 3));
    std::vector<std::string> row;
    if (log.next(row) != CsvRow::Row || row != header) return std::string();
    const std::string name = base_name(job.path);
    std::string where;
    for (CsvRow got = log.next(row); got != CsvRow::End; got = log.next(row)) {
        if (got != CsvRow::Row || row.size() != header.size() || base_name(row[15]) != name) continue;
        for (const std::string& pair : words_of(row[17])) {
            for (std::size_t f = 0; f < job.unique.size(); ++f) {
                const std::string key = job.unique[f].name + "=";
                std::uint64_t value = 0;
                if (pair.compare(0, key.size(), key) != 0 ||
                    !parse_unique_text(job.unique[f], pair.substr(key.size()), value)) {
                    continue;
                }
                if (!seen[f] || value > highest[f]) {
                    highest[f] = value;
                    if (f == 0) where = "the highest " + job.unique[0].name + " on " + row[3] + " at " + row[0];
                }
                seen[f] = true;
            }
        }
    }
    bool any = false;
    for (const bool s : seen) any = any || s;
    if (!any) return std::string();
    return unique_pairs(job.unique, highest) + (where.empty() ? "" : " (" + where + ")");
}
