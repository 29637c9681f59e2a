#include "console/system_error.h"

#include <cstdio>
#include <cstring>

namespace {

// strerror_r comes in two kinds: the XSI one fills the buffer and returns 0,
// GNU's returns the text, which may or may not be in the buffer.
[[maybe_unused]] const char* words_of(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* words_of(const char* result, const char* /*buffer*/) {
    return result;
}

}  // namespace

void describe_system_error(int code, char* text, std::size_t size) {
    if (size == 0) return;
    char buffer[256] = "";
    // The station's threads call this at once: strerror's shared buffer would not do.
    const char* words = words_of(strerror_r(code, buffer, sizeof buffer), buffer);
    if (words != nullptr) {
        std::snprintf(text, size, "%s", words);
    } else {
        std::snprintf(text, size, "system error %d", code);
    }
}
