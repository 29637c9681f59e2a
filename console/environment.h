// The process's environment, read once: a copy taken before any thread
// starts, so that every thread reads it without racing a change to it.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Takes (or takes again) the copy. main calls it first thing; a later call
// must come while no other thread reads the copy (tests that change a variable).
void read_environment();

// The value of `name` in the copy, or nullptr when it is not set. The copy
// is taken on the first call if read_environment() has not taken it.
const char* environment_value(const char* name);

// Every variable whose name starts with `prefix`, as (name, value) pairs.
std::vector<std::pair<std::string, std::string>> environment_with_prefix(const char* prefix);
