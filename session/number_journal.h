// The journal of a job's numbers, beside the job file (JOB.numbers): every
// value given to a box, forced to the disk before the box is sent a byte of
// it, and every box's end. The next value of a field is the one after the
// highest ever given, so a value is spent once given, whatever the box's
// end, and a kill at any moment never gives one twice.
//
// Text, one record a line:
//   stbload numbers 1
//   take 2026-12-09T05:40:12.345Z station=bench2 port=COM7 serial=STB000000123 mac=00:1A:2B:00:00:07
//   end 2026-12-09T05:42:01.002Z station=bench2 port=COM7 serial=STB000000123 result=completed
// A line that a power cut tore is ended with " # torn" and skipped; '#'
// starts a comment line. Several processes share one journal: each take
// holds the file's lock while it reads what the others took and appends.
//
// Under the line's database the journal is the station's own (beside its
// log), and its values come only from leases of the line's pool that it
// recorded, each forced to the disk before any of its values is given:
//   lease 2026-12-09T05:40:12.001Z station=bench2 count=50 serial=STB000000100 mac=00:1A:2B:00:00:64
// (the first value of each field; the lease holds `count` of each).
//
// Mutex rules: `lock_` guards every member below it; each public function
// holds it for its whole body (the file's lock is taken inside it).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "console/record_file.h"
#include "session/job.h"

enum class TakeResult {
    Taken,       // the values are on the disk
    UsedUp,      // a field has no value left (`why` names it)
    NoneAtHand,  // leased: no value until the next lease comes (`why` says so)
    Failed,      // the journal cannot be written (`why` says why)
};

class NumberJournal {
public:
    // Opens the job's journal, reading all of it. A missing journal is
    // made (or with `look_only`, taken as empty), unless `log_path` (the
    // job's results log) holds rows with values of this job: the numbers
    // must never start again from the first. False, with `problem` (a line
    // for the operator) and `detail` (notes), when it cannot be used.
    bool open(const Job& job, const std::string& log_path, std::string& problem, std::vector<std::string>& detail,
              bool look_only = false);
    // Opens (or makes) the journal at `path` of a station under the line's
    // database: its values come from its leases only.
    bool open_leased(const Job& job, const std::string& path, std::string& problem, bool look_only = false);
    // It did not exist when opened with `look_only`.
    bool missing() const { return missing_; }
    bool leased() const { return leased_; }  // set once, at open

    const std::string& path() const { return path_; }
    const std::vector<UniqueField>& fields() const { return fields_; }

    // The values the next box would get, and how many of each are left, as
    // last seen (another process's takes show at the next take).
    std::vector<std::uint64_t> next() const;
    std::vector<std::uint64_t> left() const;
    // The first field with no value left; empty if every one has some.
    std::string used_up() const;

    // Whether a take may give values now, as last seen: false only while a
    // leased journal has none at hand and the pool is not known to be used
    // up. Cheap: a box held for its numbers asks it at every quiet read.
    bool may_give() const;

    // Leased: the values not given, and the leases that still hold some.
    std::uint64_t lease_left() const;
    unsigned leases_held() const;
    // Records a lease of `count` values of each field from `first` on,
    // forced to the disk. False, with `why`, when it cannot be written.
    bool add_lease(const std::string& station, const std::vector<std::uint64_t>& first, std::uint64_t count,
                   std::string& why);
    // Leased: the pool has no value left of `field` (empty: it has).
    void set_pool_used_up(const std::string& field);

    // One value of each field for a box on `port` of `station`, on the disk
    // when it returns Taken.
    TakeResult take(const std::string& station, const std::string& port, std::vector<std::uint64_t>& values,
                    std::string& why);
    // The box's end, for the record (`result` as the log writes it).
    void end(const std::string& station, const std::string& port, const std::vector<std::uint64_t>& values,
             const std::string& result);

private:
    struct HeldLease {
        std::vector<std::uint64_t> first;
        std::uint64_t count;
    };

    bool catch_up(std::string& why);  // lock_ and the file's lock held
    bool read_line(const std::string& line, std::string& why);
    bool read_values(const std::vector<std::string>& words, std::size_t from, std::vector<std::uint64_t>& values,
                     std::string& why);
    bool open_file(bool look_only, bool exists, std::string& problem, std::vector<std::string>& detail);
    // Leased, with lock_ held: how many of a lease's values are given (or
    // passed), the values the next box gets, and how many remain.
    std::uint64_t given_of(const HeldLease& lease) const;
    bool next_leased(std::vector<std::uint64_t>& values) const;
    std::uint64_t leased_left() const;
    // With lock_ held: next(), left() and used_up().
    std::vector<std::uint64_t> next_values() const;
    std::vector<std::uint64_t> left_values() const;
    std::string spent_field() const;

    mutable std::mutex lock_;
    std::string path_;
    std::vector<UniqueField> fields_;
    std::vector<std::uint64_t> highest_;  // per field: the highest value given, or none:
    std::vector<bool> given_;             // whether any was
    RecordFile file_;
    std::uint64_t read_to_ = 0;  // bytes of the file read so far
    std::uint64_t lines_ = 0;    // lines read so far
    bool missing_ = false;
    bool leased_ = false;
    std::vector<HeldLease> leases_;  // leased: in the order taken, so rising
    std::string pool_used_up_;
};

// The highest value of each of the job's fields in the rows of `log_path`
// that name the job, as "serial=... mac=..." with the row's port and time;
// empty if the log holds none (or does not exist).
std::string last_values_in_log(const Job& job, const std::string& log_path, std::vector<std::uint64_t>& highest);
