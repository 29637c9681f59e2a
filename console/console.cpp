#include "console/console.h"

#include <cstdarg>
#include <cstdio>

#include "console/trace.h"

namespace {

ConsoleSink capture_sink = nullptr;
void* capture_context = nullptr;
bool stdout_for_data = false;

}  // namespace

// The messages are printf formats by design, so these stay C variadics.
void console_print(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list args;
    va_start(args, format);
    if (capture_sink == nullptr) {
        std::FILE* out = stdout_for_data ? stderr : stdout;
        std::vfprintf(out, format, args);
        std::fflush(out);
    } else {
        char text[4096];
        const int n = std::vsnprintf(text, sizeof text, format, args);
        if (n > 0) {
            const std::size_t size =
                static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
            capture_sink(capture_context, text, size);
        }
    }
    va_end(args);
}

void console_note(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    // One formatted line, one write: notes never come out torn.
    char text[2048];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    std::fprintf(stderr, "stbload: %s\n", text);
    std::fflush(stderr);
    trace("note: %s", text);  // the trace of a run holds what the operator was told
}

void console_note_text(void* /*context*/, const char* text) {
    console_note("%s", text);
}

std::string Problem::message_text() const {
    std::string text;
    for (const std::string& line : message) text += (text.empty() ? "" : "; ") + line;
    return text;
}

void console_show(const Problem& problem) {
    for (const std::string& line : problem.message) console_print("%s\r\n", line.c_str());
    for (const std::string& note : problem.notes) console_note("%s", note.c_str());
}

void console_keep_stdout_for_data() {
    stdout_for_data = true;
}

bool console_stdout_kept_for_data() {
    return stdout_for_data;
}

void console_data(const char* data, std::size_t size) {
    if (capture_sink != nullptr) {
        capture_sink(capture_context, data, size);
        return;
    }
    std::fwrite(data, 1, size, stdout);
    std::fflush(stdout);
}

void console_capture(ConsoleSink sink, void* context) {
    capture_sink = sink;
    capture_context = context;
}
