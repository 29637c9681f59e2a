// Whether a file could be written, found out without writing it: for a
// check that promises what a station will manage before it starts.
#pragma once

#include <string>

// A file that exists can be opened for appending; a missing one could be
// made in its folder (a file is made there and removed at once). False, with
// the system's words in `why`, when not.
bool can_write(const std::string& path, std::string& why);
