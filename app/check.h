// stbload --check HEXFILE: what a download of HEXFILE would send, without a port.
#pragma once

// Loads `hex_path` as a download would (the same refusals and warnings) and
// prints what the image holds, what a download sends and its fingerprint;
// with `json`, as one JSON document on standard output, the messages on
// standard error. Returns the exit status: completed when a download would
// send the file; `strict` refuses a file with warnings, as a strict download would.
int run_check(const char* hex_path, bool json, bool strict);
