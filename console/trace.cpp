#include "console/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <atomic>

#include "console/clock.h"
#include "console/thread_safety.h"

namespace {

// Mutex rules: `trace_lock` guards writing to the trace file, so that lines
// from several threads (a station's ports) never mix; the innermost lock but
// the clock's (console/thread_safety.h). The file itself is opened before
// any thread starts and closed after they end; threads read it atomically.
Mutex trace_lock;
std::atomic<std::FILE*> trace_file{nullptr};
thread_local char thread_label[64] = "";

}  // namespace

void trace_label_thread(const char* label) {
    std::snprintf(thread_label, sizeof thread_label, "%s", label);
}

bool trace_open(const char* path) {
    trace_close();
    trace_file = std::fopen(path, "a");
    return trace_file.load() != nullptr;
}

bool tracing() {
    return trace_file.load() != nullptr;
}

void trace(const char* format, ...) {  // NOLINT(cert-dcl50-cpp): a printf format by design
    std::FILE* file = trace_file.load();
    if (file == nullptr) return;
    char stamp[40];
    format_utc(std::chrono::system_clock::now(), stamp, sizeof stamp);
    const MutexLock hold(trace_lock);
    if (thread_label[0] != '\0') {
        std::fprintf(file, "%s %s: ", stamp, thread_label);
    } else {
        std::fprintf(file, "%s ", stamp);
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    // Flushed line by line, so that a run ended with Ctrl+C leaves its trace.
    std::fflush(file);
}

void trace_close() {
    std::FILE* file = trace_file.exchange(nullptr);
    if (file != nullptr) std::fclose(file);
}

void trace_escape(const char* data, std::size_t size, char* text, std::size_t text_size) {
    static const char HEX[] = "0123456789abcdef";
    std::size_t out = 0;
    const std::size_t room = text_size - 4;  // space for "..." and the NUL
    for (std::size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        char piece[4];
        std::size_t length = 2;
        piece[0] = '\\';
        switch (c) {
        case '\n': piece[1] = 'n'; break;
        case '\r': piece[1] = 'r'; break;
        case '\t': piece[1] = 't'; break;
        case '\\': piece[1] = '\\'; break;
        case '"': piece[1] = '"'; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                piece[0] = static_cast<char>(c);
                length = 1;
            } else {
                piece[1] = 'x';
                piece[2] = HEX[c >> 4];
                piece[3] = HEX[c & 0x0F];
                length = 4;
            }
        }
        if (out + length > room) {
            text[out++] = '.';
            text[out++] = '.';
            text[out++] = '.';
            break;
        }
        for (std::size_t k = 0; k < length; ++k) text[out++] = piece[k];
    }
    text[out] = '\0';
}

