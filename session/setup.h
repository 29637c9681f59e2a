// What a run of boxes needs, made ready by one chain that both front ends
// call in the same order (a single download under a job, and a station):
// the job read and checked, the image loaded and found to be the one the job
// is locked to, the results log, the journal of numbers and the keeper of the
// line's database; each box's record made the same way; the keeper's last
// grace at the end. Each step says what stops the run in a Problem.
#pragma once

#include <memory>
#include <string>

#include "console/console.h"
#include "image/image_fingerprint.h"
#include "image/image_load.h"
#include "job/job.h"
#include "job/leased_journal.h"
#include "job/local_journal.h"
#include "line/keeper.h"
#include "records/box_log.h"
#include "session/box_result.h"
#include "session/operator_on_duty.h"

struct RunSetup {
    Job job;
    bool under_job = false;
    // The image and its fingerprint, as the log and the screen write it.
    ImageLoad loaded;
    ImageFingerprint fingerprint{};
    std::string file;    // the hex file as given, or the job's
    std::string crc32;   // "0x5E1F0C27"
    std::string sha256;  // 64 lower-case hex digits
    // The log, and under a job its numbers and the line's database.
    std::string log_path;
    BoxLog log;
    LocalJournal local_numbers;
    LeasedJournal leased_numbers;
    NumberJournal* numbers = nullptr;  // one of the two, or null for a job without numbers
    std::unique_ptr<ApprovalGuard> approval;  // under [line] with approval = "required"
    std::unique_ptr<LineKeeper> line;  // under [line]; holds on to `approval`
    std::string line_state;            // the database reached, or away and what the run goes on with
    OperatorOnDuty on_duty;            // who flashes, for which order
};

// Reads and checks the job at `path`; the problem names each fault with its key.
bool setup_job(const std::string& path, RunSetup& run, Problem& problem);

// Loads the image: the job's, locked to its fingerprint, or `hex_path`
// without a job. A strict load (`strict`, or the job's [image] strict)
// refuses a file with warnings. `problem` also holds the loader's warnings
// when the image is usable.
bool setup_image(RunSetup& run, const std::string& hex_path, bool strict, Problem& problem);

// Opens the log at `log_path`; `elsewhere` says where another log is named
// ("give another log with --log").
bool setup_log(RunSetup& run, const std::string& log_path, const char* elsewhere, Problem& problem);

// Under a job: its journal of numbers, and under [line] the keeper (made
// ready, not started); `ports`: how many boxes may start at once.
bool setup_numbers(RunSetup& run, const std::string& station, unsigned ports, Problem& problem);

// Who flashes and for which order: `given_operator` (else STBLOAD_OPERATOR)
// and `given_order` (else the job's [job] work_order). False, with
// `problem`, under a job that requires an operator and got none.
bool setup_operator(RunSetup& run, const std::string& given_operator, const std::string& given_order,
                    Problem& problem);

// A box's row as both front ends log it.
BoxRecord box_record(const RunSetup& run, const BoxResult& box, const std::string& station, const std::string& port,
                     const std::string& device, const std::string& adapter);

// Lets the keeper try for up to `grace_s` to send what waits, then stops it;
// a note names the rows left in the outbox: "STATUS; WAITS OUTBOX GOES".
void finish_line(RunSetup& run, double grace_s, const char* waits, const char* goes);
