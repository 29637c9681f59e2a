// The operating system's own words for why a call failed.
#pragma once

#include <cstddef>

// The system's description of `code` (strerror, FormatMessage) in `text`,
// without a trailing period or line end.
void describe_system_error(int code, char* text, std::size_t size);
