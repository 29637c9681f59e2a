// A station's journal under the line's database, beside its log: its values
// come only from the leases of the line's pool it recorded, each forced to
// the disk before any of its values is given (durability rule D4).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/journal_file.h"

class LeasedJournal final : public JournalFile {
public:
    // Opens (or makes) the journal at `path`; `look_only` makes nothing.
    bool open(const Job& job, const std::string& path, std::string& problem, bool look_only = false);

    std::vector<std::uint64_t> next() const override EXCLUDES(lock_);
    std::vector<std::uint64_t> left() const override EXCLUDES(lock_);
    std::string used_up() const override EXCLUDES(lock_);
    bool may_give() const override EXCLUDES(lock_);
    std::string left_text() const override EXCLUDES(lock_);

    // The values not given, and the leases that still hold some.
    std::uint64_t lease_left() const EXCLUDES(lock_);
    unsigned leases_held() const EXCLUDES(lock_);
    // Records a lease of `count` values of each field from `first` on,
    // forced to the disk. False, with `why`, when it cannot be written.
    bool add_lease(const std::string& station, const std::vector<std::uint64_t>& first, std::uint64_t count,
                   std::string& why) EXCLUDES(lock_);
    // The pool has no value left of `field` (empty: it has).
    void set_pool_used_up(const std::string& field) EXCLUDES(lock_);

private:
    TakeResult choose(std::vector<std::uint64_t>& values, std::string& why) override REQUIRES(lock_);
    // How many of a lease's values are given (or passed), the values the
    // next box gets, and how many remain.
    std::uint64_t given_of(const HeldLease& lease) const REQUIRES(lock_);
    bool next_leased(std::vector<std::uint64_t>& values) const REQUIRES(lock_);
    std::uint64_t leased_left() const REQUIRES(lock_);

    std::string pool_used_up_ GUARDED_BY(lock_);
};
