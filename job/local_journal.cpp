#include "job/local_journal.h"

#include <cerrno>
#include <cstdio>

#include "console/clock.h"
#include "console/figures.h"
#include "console/system_error.h"
#include "job/unique_value.h"

namespace {

// 0 when the file at `path` can be read, else why not (ENOENT: it is not there).
int open_error(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return errno;
    std::fclose(file);
    return 0;
}

}  // namespace

bool LocalJournal::open(const Job& job, const std::string& log_path, std::string& problem,
                        std::vector<std::string>& detail, bool look_only) {
    const std::string path = job.journal_path();
    const int missing_error = open_error(path);
    const bool existing = missing_error == 0;
    if (!existing && missing_error != ENOENT) {
        problem = "the journal " + path + " of the job's numbers cannot be read: " + system_words(missing_error);
        detail.push_back("without it the numbers could only start again from the first, and repeat: mend its "
                         "rights, or restore it");
        return false;
    }
    if (!existing) {
        std::vector<std::uint64_t> highest;
        const std::string last = last_values_in_log(job, log_path, highest);
        if (!last.empty()) {
            problem = "the journal " + path + " of the job's numbers is missing, but " + log_path +
                      " holds numbers that the job gave";
            detail.push_back("the last given: " + last);
            detail.push_back("to go on after them, make " + path + " with these two lines (or restore it):");
            detail.push_back(JOURNAL_HEADER);
            detail.push_back("take " + utc_now() + " station=rebuilt port=- " + unique_pairs(job.unique, highest));
            return false;
        }
    }
    return open_file(path, job.unique, look_only, existing, problem, detail);
}

std::vector<std::uint64_t> LocalJournal::next_values() const {
    std::vector<std::uint64_t> values;
    for (std::size_t f = 0; f < fields().size(); ++f) {
        const std::uint64_t first = fields()[f].first;
        const std::uint64_t after = given_[f] ? highest_[f] + 1 : first;
        values.push_back(after > first ? after : first);
    }
    return values;
}

std::vector<std::uint64_t> LocalJournal::left_values() const {
    std::vector<std::uint64_t> values = next_values();
    for (std::size_t f = 0; f < fields().size(); ++f) {
        const UniqueField& field = fields()[f];
        const bool none = (given_[f] && highest_[f] >= field.last) || values[f] > field.last;
        values[f] = none ? 0 : field.last - values[f] + 1;
    }
    return values;
}

std::vector<std::uint64_t> LocalJournal::next() const {
    const MutexLock hold(lock_);
    return next_values();
}

std::vector<std::uint64_t> LocalJournal::left() const {
    const MutexLock hold(lock_);
    return left_values();
}

std::string LocalJournal::used_up() const {
    const MutexLock hold(lock_);
    const std::vector<std::uint64_t> remaining = left_values();
    for (std::size_t f = 0; f < fields().size(); ++f) {
        if (remaining[f] == 0) return fields()[f].name;
    }
    return std::string();
}

std::string LocalJournal::left_text() const {
    const MutexLock hold(lock_);
    const std::vector<std::uint64_t> at_hand = left_values();
    const std::vector<std::uint64_t> coming = next_values();
    std::string text;
    std::string few;
    for (std::size_t f = 0; f < fields().size(); ++f) {
        const UniqueField& field = fields()[f];
        char count[32];
        format_thousands(at_hand[f], count, sizeof count);
        text += (f == 0 ? "" : ", ") + field.name + " " + count + " left";
        if (at_hand[f] > 0) text += " (" + unique_text(field, coming[f]) + " next)";
        // A warning once a range is below 1 % of itself, or 100, whichever is more.
        const std::uint64_t range = field.last - field.first + 1;
        const std::uint64_t warn = range / 100 > 100 ? range / 100 : 100;
        if (at_hand[f] < warn) few += (few.empty() ? "" : ", ") + field.name;
    }
    if (!few.empty()) text += "; few left: " + few;
    return text;
}

TakeResult LocalJournal::choose(std::vector<std::uint64_t>& values, std::string& why) {
    values = next_values();
    for (std::size_t f = 0; f < fields().size(); ++f) {
        if ((given_[f] && highest_[f] >= fields()[f].last) || values[f] > fields()[f].last) {
            why = fields()[f].name;
            return TakeResult::UsedUp;
        }
    }
    return TakeResult::Taken;
}
