// A job made ready, the same way by every front end: read and checked, its
// image loaded and found to be the one it is locked to, its journal of
// numbers open. Each step says what is wrong in a report for the console.
#pragma once

#include <memory>
#include <string>

#include "console/console.h"
#include "image/image_fingerprint.h"
#include "session/image_load.h"
#include "session/job.h"
#include "session/line_keeper.h"
#include "session/number_journal.h"

// Reads the job at `path`; the report names each problem with its key.
bool read_job_for_use(const std::string& path, Job& job, ConsoleReport& report);

// Loads the job's image and compares its fingerprint with the job's: a file
// that is not the one the job locks is refused, with nothing flashed. A
// strict load (`strict`, or the job's [image] strict) refuses one with warnings.
bool load_job_image(const Job& job, ImageLoad& load, ImageFingerprint& fingerprint, ConsoleReport& report,
                    bool strict = false);

// Opens the job's journal when the job has numbers (`log_path`: its log, for
// the case of a lost journal); `look_only` makes no journal that is missing.
bool open_job_numbers(const Job& job, const std::string& log_path, NumberJournal& numbers, ConsoleReport& report,
                      bool look_only = false);

// Under the line's database ([line]): the station's own journal beside its
// log (when the job has numbers) and the keeper that reaches the database,
// made ready but not started; `ports`: how many boxes may start at once.
// False, with the report, when no box may be
// flashed: a login, driver or schema fault, or a journal or outbox that
// cannot be used. `state` gets a line for the operator: the database
// reached, or away and what the station runs on meanwhile.
bool open_job_line(const Job& job, const std::string& log_path, const std::string& station, unsigned ports,
                   NumberJournal& numbers, std::unique_ptr<LineKeeper>& keeper, ConsoleReport& report,
                   std::string& state);

// The job's log: as its [station] log names it, else stbload-station.csv in
// the current folder.
std::string job_log_path(const Job& job);

// "serial 999,999,876 left (STB000000124 next), mac 65,528 left (...)", with
// a warning for a range nearly used up: below 1 % of it, or 100, whichever is more.
std::string numbers_left_text(const NumberJournal& numbers);
