#include "console/console.h"

#include <cstdarg>
#include <cstdio>

#include "console/trace.h"

namespace {

struct Capture {
    ConsoleSink sink;
    void* context;
};

Capture output_capture{nullptr, nullptr};
Capture note_capture{nullptr, nullptr};

void deliver(const Capture& capture, const char* format, va_list args) {
    char text[4096];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    if (n <= 0) return;
    const std::size_t size = static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
    capture.sink(capture.context, text, size);
}

}  // namespace

// The messages are printf formats by design, so these stay C variadics.
void console_print(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list args;
    va_start(args, format);
    if (output_capture.sink != nullptr) {
        deliver(output_capture, format, args);
    } else {
        std::vfprintf(stdout, format, args);
        std::fflush(stdout);
    }
    va_end(args);
}

void console_note(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list args;
    va_start(args, format);
    if (note_capture.sink != nullptr) {
        deliver(note_capture, format, args);
    } else {
        // One formatted line, one write: notes never come out torn.
        char text[2048];
        const int n = std::vsnprintf(text, sizeof text, format, args);
        if (n >= 0) {
            std::fprintf(stderr, "stbload: %s\n", text);
            std::fflush(stderr);
            trace("note: %s", text);  // the trace of a run holds what the operator was told
        }
    }
    va_end(args);
}

void console_capture(ConsoleSink sink, void* context) {
    output_capture = {sink, context};
}

void console_capture_notes(ConsoleSink sink, void* context) {
    note_capture = {sink, context};
}
