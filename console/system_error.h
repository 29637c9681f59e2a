// The operating system's own words for why a call failed.
#pragma once

#include <cstddef>
#include <string>

// The system's description of `code` (strerror, FormatMessage) in `text`,
// without a trailing period or line end.
void describe_system_error(int code, char* text, std::size_t size);

// The same as a string: "Permission denied".
inline std::string system_words(int code) {
    char text[256];
    describe_system_error(code, text, sizeof text);
    return text;
}
