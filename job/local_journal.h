// A job's own journal, beside the job (or where [numbers] journal says):
// the values after the highest given, up to each field's last.
#pragma once

#include <string>
#include <vector>

#include "job/journal_file.h"

class LocalJournal final : public JournalFile {
public:
    // Opens the job's journal, reading all of it. A missing journal is
    // made (or with `look_only`, taken as empty), unless `log_path` (the
    // job's results log) holds rows with values of this job: the numbers
    // must never start again from the first. False, with `problem` (a line
    // for the operator) and `detail` (notes), when it cannot be used.
    bool open(const Job& job, const std::string& log_path, std::string& problem, std::vector<std::string>& detail,
              bool look_only = false);

    std::vector<std::uint64_t> next() const override EXCLUDES(lock_);
    std::vector<std::uint64_t> left() const override EXCLUDES(lock_);
    std::string used_up() const override EXCLUDES(lock_);
    bool may_give() const override { return true; }  // a take says whether a value is left
    std::string left_text() const override EXCLUDES(lock_);

private:
    TakeResult choose(std::vector<std::uint64_t>& values, std::string& why) override REQUIRES(lock_);
    std::vector<std::uint64_t> next_values() const REQUIRES(lock_);
    std::vector<std::uint64_t> left_values() const REQUIRES(lock_);
};
