#include "job/journal_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/clock.h"
#include "console/system_error.h"
#include "job/unique_value.h"

const char JOURNAL_HEADER[] = "stbload numbers 1";

namespace {

constexpr char TORN[] = " # torn";
constexpr char TORN_END[] = " # torn\r\n";  // what ends a line that a power cut tore
constexpr std::size_t READ_CHUNK = std::size_t{64} * 1024;  // far more than any line, and cheap to take at each box

bool ends_with(const std::string& text, const char* end) {
    const std::size_t size = std::strlen(end);
    return text.size() >= size && text.compare(text.size() - size, size, end) == 0;
}

}  // namespace

std::string journal_escaped(const std::string& text) {
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

bool JournalFile::missing() const {
    const MutexLock hold(lock_);
    return missing_;
}

bool JournalFile::read_values(const std::vector<std::string>& words, std::size_t from,
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

bool JournalFile::read_lease(const std::vector<std::string>& words, const std::string& line, std::string& why) {
    const std::string count = words[3].substr(6);
    char* count_end = nullptr;
    const unsigned long long held = std::strtoull(count.c_str(), &count_end, 10);
    std::vector<std::uint64_t> values;
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

bool JournalFile::read_text_line(const std::string& line, std::string& why) {
    ++lines_;
    if (line.empty() || line[0] == '#' || ends_with(line, TORN) || line == JOURNAL_HEADER) return true;
    const std::vector<std::string> words = words_of(line);
    if (words.empty() || words[0] == "end") return true;  // a line of blanks says nothing
    if (words[0] == "lease" && words.size() >= 4 && words[3].rfind("count=", 0) == 0) {
        return read_lease(words, line, why);
    }
    if (words[0] != "take" || words.size() < 2) {
        why = "line " + std::to_string(lines_) + " is no journal line: " + line.substr(0, 80);
        return false;
    }
    // Every word that names a field counts, wherever it stands: a value of a
    // damaged line is still one that a box may have got.
    std::vector<std::uint64_t> values;
    if (!read_values(words, 1, values, why)) return false;
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        if (values[f] == UINT64_MAX) continue;
        if (!given_[f] || values[f] > highest_[f]) highest_[f] = values[f];
        given_[f] = true;
    }
    return true;
}

bool JournalFile::catch_up(std::string& why) {
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
            if (!read_text_line(line, why)) return false;
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

// D6: a torn last line is ended (" # torn") before the next is appended.
bool JournalFile::append_line(const std::string& line, std::string& why) {
    const bool written = (!file_.ends_torn() || file_.append_locked(TORN_END, sizeof TORN_END - 1)) &&
                         file_.append_locked(line.data(), line.size());
    if (!written) why = "cannot write the journal " + path_ + ": " + system_words(file_.error());
    return written;
}

bool JournalFile::open_file(const std::string& path, const std::vector<UniqueField>& fields, bool look_only,
                            bool exists, std::string& problem, std::vector<std::string>& detail) {
    const MutexLock hold(lock_);
    path_ = path;
    fields_ = fields;
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
        const std::string header = std::string(JOURNAL_HEADER) + "\r\n";
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

// D1: the values are on the disk (appended, forced) before take() returns
// Taken, and so before the box that gets them is answered.
TakeResult JournalFile::take(const std::string& station, const std::string& port, std::vector<std::uint64_t>& values,
                             std::string& why) {
    const MutexLock hold(lock_);
    file_.lock();
    // What other processes took since the last look comes first.
    values.clear();
    TakeResult result = catch_up(why) ? choose(values, why) : TakeResult::Failed;
    if (result == TakeResult::Taken) {
        const std::string line = "take " + utc_now() + " station=" + journal_escaped(station) +
                                 " port=" + journal_escaped(port) + " " + unique_pairs(fields_, values) + "\r\n";
        if (append_line(line, why)) {
            for (std::size_t f = 0; f < fields_.size(); ++f) {
                highest_[f] = values[f];
                given_[f] = true;
            }
        } else {
            result = TakeResult::Failed;
        }
    }
    file_.unlock();
    return result;
}

void JournalFile::end(const std::string& station, const std::string& port, const std::vector<std::uint64_t>& values,
                      const std::string& result) {
    const MutexLock hold(lock_);
    file_.lock();
    const std::string line = "end " + utc_now() + " station=" + journal_escaped(station) + " port=" +
                             journal_escaped(port) + " " + unique_pairs(fields_, values) + " result=" +
                             journal_escaped(result) + "\r\n";
    std::string why;
    append_line(line, why);  // the record of an end: one that fails loses nothing
    file_.unlock();
}
