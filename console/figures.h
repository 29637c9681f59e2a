// Figures as a person reads them: durations and large counts.
#pragma once

#include <cstddef>

// `seconds` as "m:ss", or "h:mm:ss" from an hour on.
void format_duration(double seconds, char* text, std::size_t size);

// `value` with a comma between each group of three digits: "1,032,192".
void format_thousands(unsigned long long value, char* text, std::size_t size);

// What stands where a figure is not known yet: an em dash, or "-" on a
// console whose code page cannot show one (Windows).
const char* no_figure();
