#include "console/console.h"

#include <cstdarg>
#include <cstdio>

namespace {

ConsoleSink capture_sink = nullptr;
void* capture_context = nullptr;

}  // namespace

// The messages are printf formats by design, so this stays a C variadic.
void console_print(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list args;
    va_start(args, format);
    if (capture_sink == nullptr) {
        std::vfprintf(stdout, format, args);
    } else {
        char text[4096];
        const int n = std::vsnprintf(text, sizeof text, format, args);
        if (n > 0) {
            const std::size_t size = static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n)
                                                                              : sizeof text - 1;
            capture_sink(capture_context, text, size);
        }
    }
    va_end(args);
}

void console_flush() {
    std::fflush(stdout);
}

void console_capture(ConsoleSink sink, void* context) {
    capture_sink = sink;
    capture_context = context;
}
