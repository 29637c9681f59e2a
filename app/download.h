// One download: the hex file and the serial port of a run, and the order of its steps.
#pragma once

#include <string>

#include "link/port_name.h"
#include "console/exit_status.h"

// What the command line adds to a single download: a strict load, and how
// long a box may keep the port (0: as long as it takes).
struct DownloadOptions {
    bool strict = false;
    double stall_s = 0;
    double flash_write_max_s = 0;
    std::string operator_name;  // --operator (else STBLOAD_OPERATOR), under a job
    std::string work_order;     // --work-order (else the job's)
};

// Loads `hex_path` and downloads it through `port`. Prints every outcome on
// the console and returns the exit status for it.
int run_download(const PortName& port, const char* hex_path, const DownloadOptions& options);

// One box under the job at `job_path`, through `port` (`given`: as the
// operator wrote it, for the log): the job's image, locked to its
// fingerprint, with the box's own numbers; its boot checked where the job
// asks; its row in the job's log. Standard output is a single download's;
// the last line on standard error is the box's result when it failed.
int run_job_download(const std::string& job_path, const PortName& port, const std::string& given,
                     const DownloadOptions& options);
