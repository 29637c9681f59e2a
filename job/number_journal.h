// A job's journal of numbers: every value given to a box, forced to the disk
// before the box is answered (durability rule D1), and every box's end. The
// next value of a field is the one after the highest ever given, so a value
// is spent once given, whatever the box's end, and a kill at any moment
// never gives one twice.
//
// Text, one record a line:
//   stbload numbers 1
//   take 2026-12-09T05:40:12.345Z station=bench2 port=COM7 serial=STB000000123 mac=00:1A:2B:00:00:07
//   end 2026-12-09T05:42:01.002Z station=bench2 port=COM7 serial=STB000000123 result=completed
// A line that a power cut tore is ended with " # torn" and skipped; '#'
// starts a comment line. Several processes share one journal: each take
// holds the file's lock while it reads what the others took and appends.
//
// Two kinds, one interface: a job's own journal (LocalJournal, beside the
// job) gives the values after the highest given; a station's journal under
// the line's database (LeasedJournal, beside its log) gives only values of
// the leases of the line's pool it recorded (durability rule D4):
//   lease 2026-12-09T05:40:12.001Z station=bench2 count=50 serial=STB000000100 mac=00:1A:2B:00:00:64
// (the first value of each field; the lease holds `count` of each).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "job/job.h"

enum class TakeResult {
    Taken,       // the values are on the disk
    UsedUp,      // a field has no value left (`why` names it)
    NoneAtHand,  // leased: no value until the next lease comes (`why` says so)
    Failed,      // the journal cannot be written (`why` says why)
};

class NumberJournal {
public:
    virtual ~NumberJournal() = default;

    // The journal's file, and the job's fields: set when it is opened,
    // before any thread shares it, and the same ever after.
    virtual const std::string& path() const = 0;
    virtual const std::vector<UniqueField>& fields() const = 0;

    // The values the next box would get, and how many of each are left, as
    // last seen (another process's takes show at the next take).
    virtual std::vector<std::uint64_t> next() const = 0;
    virtual std::vector<std::uint64_t> left() const = 0;
    // The first field with no value left; empty if every one has some.
    virtual std::string used_up() const = 0;
    // Whether a take may give values now, as last seen: false only while a
    // leased journal has none at hand and the pool is not known to be used
    // up. Cheap: a box held for its numbers asks it at every quiet read.
    virtual bool may_give() const = 0;
    // What is left, for the screen's header and --check: "serial 999,999,876
    // left (STB000000124 next), mac ...", or "37 left of this station's lease ...".
    virtual std::string left_text() const = 0;

    // One value of each field for a box on `port` of `station`, on the disk
    // when it returns Taken.
    virtual TakeResult take(const std::string& station, const std::string& port, std::vector<std::uint64_t>& values,
                            std::string& why) = 0;
    // The box's end, for the record (`result` as the log writes it).
    virtual void end(const std::string& station, const std::string& port, const std::vector<std::uint64_t>& values,
                     const std::string& result) = 0;
};

// The highest value of each of the job's fields in the rows of `log_path`
// that name the job, as "serial=... mac=..." with the row's port and time;
// empty if the log holds none (or does not exist).
std::string last_values_in_log(const Job& job, const std::string& log_path, std::vector<std::uint64_t>& highest);
