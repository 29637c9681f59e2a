#include "job/leased_journal.h"

#include <cerrno>
#include <cstdio>

#include "console/clock.h"
#include "console/figures.h"
#include "console/system_error.h"
#include "job/unique_value.h"

bool LeasedJournal::open(const Job& job, const std::string& path, std::string& problem, bool look_only) {
    // A journal that went takes its leases' unused values with it: the pool
    // has moved on past them, so nothing is given twice, and none is lost
    // but those.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const int missing_error = file == nullptr ? errno : 0;
    if (file != nullptr) std::fclose(file);
    const bool existing = missing_error == 0;
    if (!existing && missing_error != ENOENT) {
        problem = "the journal " + path + " of this station's numbers cannot be read: " + system_words(missing_error);
        return false;
    }
    std::vector<std::string> detail;
    const bool opened = open_file(path, job.unique, look_only, existing, problem, detail);
    for (const std::string& note : detail) problem += "; " + note;
    return opened;
}

std::uint64_t LeasedJournal::given_of(const HeldLease& lease) const {
    // The fields of a lease move together; the place in it is past the
    // highest value given of any field, so that none comes again even from
    // a journal whose takes do not keep step.
    std::uint64_t given = 0;
    for (std::size_t f = 0; f < fields().size(); ++f) {
        if (!given_[f] || highest_[f] < lease.first[f]) continue;
        const std::uint64_t past = highest_[f] - lease.first[f];
        if (past >= lease.count - 1) return lease.count;
        if (past + 1 > given) given = past + 1;
    }
    return given;
}

bool LeasedJournal::next_leased(std::vector<std::uint64_t>& values) const {
    for (const HeldLease& lease : leases_) {
        const std::uint64_t given = given_of(lease);
        if (given == lease.count) continue;
        values.clear();
        for (const std::uint64_t start : lease.first) values.push_back(start + given);
        return true;
    }
    return false;
}

std::uint64_t LeasedJournal::leased_left() const {
    std::uint64_t remaining = 0;
    for (const HeldLease& lease : leases_) remaining += lease.count - given_of(lease);
    return remaining;
}

std::vector<std::uint64_t> LeasedJournal::next() const {
    const MutexLock hold(lock_);
    std::vector<std::uint64_t> values;
    if (!next_leased(values)) values.assign(fields().size(), 0);
    return values;
}

std::vector<std::uint64_t> LeasedJournal::left() const {
    const MutexLock hold(lock_);
    return std::vector<std::uint64_t>(fields().size(), leased_left());
}

std::string LeasedJournal::used_up() const {
    const MutexLock hold(lock_);
    return leased_left() == 0 ? pool_used_up_ : std::string();
}

bool LeasedJournal::may_give() const {
    const MutexLock hold(lock_);
    return leased_left() > 0 || !pool_used_up_.empty();
}

std::uint64_t LeasedJournal::lease_left() const {
    const MutexLock hold(lock_);
    return leased_left();
}

unsigned LeasedJournal::leases_held() const {
    const MutexLock hold(lock_);
    unsigned held = 0;
    for (const HeldLease& lease : leases_) {
        if (given_of(lease) < lease.count) ++held;
    }
    return held;
}

// The pool's own figures are the database's: this is what the station holds.
std::string LeasedJournal::left_text() const {
    const MutexLock hold(lock_);
    const std::uint64_t at_hand = leased_left();
    if (at_hand == 0) {
        return pool_used_up_.empty() ? "none at hand (waiting for a lease)" : "the pool's " + pool_used_up_ +
                                                                                   " is used up";
    }
    std::vector<std::uint64_t> coming;
    next_leased(coming);
    char count[32];
    format_thousands(at_hand, count, sizeof count);
    std::string text = std::string(count) + " left of this station's lease";
    for (std::size_t f = 0; f < fields().size(); ++f) text += (f == 0 ? " (" : ", ") + unique_text(fields()[f], coming[f]);
    return text + " next)";
}

// D4: a lease is on the disk, and read back from it, before any of its
// values can be given.
bool LeasedJournal::add_lease(const std::string& station, const std::vector<std::uint64_t>& first,
                              std::uint64_t count, std::string& why) {
    const MutexLock hold(lock_);
    file_.lock();
    const std::string line = "lease " + utc_now() + " station=" + journal_escaped(station) + " count=" +
                             std::to_string(count) + " " + unique_pairs(fields(), first) + "\r\n";
    // The lease is held once read back from the disk, as at the next start.
    const bool read = append_line(line, why) && catch_up(why);
    file_.unlock();
    if (read) pool_used_up_.clear();
    return read;
}

void LeasedJournal::set_pool_used_up(const std::string& field) {
    const MutexLock hold(lock_);
    pool_used_up_ = field;
}

TakeResult LeasedJournal::choose(std::vector<std::uint64_t>& values, std::string& why) {
    if (next_leased(values)) return TakeResult::Taken;
    if (!pool_used_up_.empty()) {
        why = pool_used_up_;
        return TakeResult::UsedUp;
    }
    why = "no value at hand: this station waits for a lease from the line's database";
    return TakeResult::NoneAtHand;
}
