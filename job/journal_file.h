// What both kinds of journal keep alike: the file, read whole at the open and
// caught up at each take (what other processes appended), its takes, leases
// and ends, and the lock that guards it. Each kind says which values a take
// gives (choose).
//
// Mutex rules: `lock_` guards every member below it; each public function
// holds it for its whole body, and the file's own lock (between processes)
// is taken inside it. `path_` and `fields_` are set by the open, before the
// journal is shared, and only read after.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "console/record_file.h"
#include "console/thread_safety.h"
#include "job/number_journal.h"

class JournalFile : public NumberJournal {
public:
    const std::string& path() const override { return path_; }
    const std::vector<UniqueField>& fields() const override { return fields_; }
    // It did not exist when opened to look only.
    bool missing() const EXCLUDES(lock_);

    TakeResult take(const std::string& station, const std::string& port, std::vector<std::uint64_t>& values,
                    std::string& why) override EXCLUDES(lock_);
    void end(const std::string& station, const std::string& port, const std::vector<std::uint64_t>& values,
             const std::string& result) override EXCLUDES(lock_);

protected:
    struct HeldLease {
        std::vector<std::uint64_t> first;
        std::uint64_t count;
    };

    // Reads the journal at `path` whole, making it (with its header) when it
    // is new; `look_only` takes one that does not `exist` as empty, and makes
    // nothing. Called once, before the journal is shared.
    bool open_file(const std::string& path, const std::vector<UniqueField>& fields, bool look_only, bool exists,
                   std::string& problem, std::vector<std::string>& detail) EXCLUDES(lock_);
    // The values a take gives now, or why none: the kind's own rule.
    virtual TakeResult choose(std::vector<std::uint64_t>& values, std::string& why) REQUIRES(lock_) = 0;
    // What other processes appended since the last look, read in.
    bool catch_up(std::string& why) REQUIRES(lock_);
    // Appends `line` (its line end included) on a line of its own, forced
    // to the disk; the file's lock held by the caller.
    bool append_line(const std::string& line, std::string& why) REQUIRES(lock_);

    mutable Mutex lock_;
    RecordFile file_ GUARDED_BY(lock_);
    std::vector<std::uint64_t> highest_ GUARDED_BY(lock_);  // per field: the highest value given, or none:
    std::vector<bool> given_ GUARDED_BY(lock_);             // whether any was
    std::vector<HeldLease> leases_ GUARDED_BY(lock_);       // lease lines, in the order taken, so rising
    bool missing_ GUARDED_BY(lock_) = false;

private:
    bool read_text_line(const std::string& line, std::string& why) REQUIRES(lock_);
    bool read_lease(const std::vector<std::string>& words, const std::string& line, std::string& why)
        REQUIRES(lock_);
    bool read_values(const std::vector<std::string>& words, std::size_t from, std::vector<std::uint64_t>& values,
                     std::string& why) REQUIRES(lock_);

    std::string path_;
    std::vector<UniqueField> fields_;
    std::uint64_t read_to_ GUARDED_BY(lock_) = 0;  // bytes of the file read so far
    std::uint64_t lines_ GUARDED_BY(lock_) = 0;    // text lines read so far
};

// A value in a journal line: blanks, '=', '%', '#' and line ends as %XX.
std::string journal_escaped(const std::string& text);

// The journal's first line.
extern const char JOURNAL_HEADER[];
