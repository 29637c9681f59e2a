// stbload --job JOB --approve and --job JOB --revoke: a supervisor's hand on
// the line. An approval is of the job file's bytes and its image (the window
// sent, as --check shows its SHA-256) for the job's pool, given by the
// database user of the connection (STBLOAD_DB_USER, or the job's, or the DSN's).
#pragma once

#include <string>

// Returns the exit status: 0 when approved (or already), or revoked.
int run_job_approval(const std::string& job_path, bool revoke);
