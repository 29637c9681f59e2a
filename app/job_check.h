// stbload --job JOB --check: whether a box could be flashed under a job,
// without a port.
#pragma once

#include <string>

// Reads the job, loads its image and compares the fingerprints, and prints
// what the next box would get, how many of each number are left and where
// they are kept; with `json`, as one JSON document. Returns the exit status:
// completed when a box could be flashed under the job (`strict`: also when
// the file has no warnings).
int run_job_check(const std::string& job_path, bool json, bool strict);
