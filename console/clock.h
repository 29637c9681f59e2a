// Time as the tool writes it: UTC in ISO 8601 with milliseconds, and a
// monotonic clock in seconds for durations. Safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// "2026-12-09T05:40:12.345Z" for `when`.
void format_utc(std::chrono::system_clock::time_point when, char* text, std::size_t size);

// Now, as format_utc() writes it.
std::string utc_now();

// Seconds on a monotonic clock.
double monotonic_seconds();
