#include "console/system_error.h"

#include <cstdio>
#include <cstring>

void describe_system_error(int code, char* text, std::size_t size) {
    if (size == 0) return;
    // strerror is enough: the tool has one thread.
    std::snprintf(text, size, "%s", std::strerror(code));  // NOLINT(concurrency-mt-unsafe)
}
