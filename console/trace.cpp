#include "console/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

std::FILE* trace_file = nullptr;

}  // namespace

bool trace_open(const char* path) {
    trace_close();
    trace_file = std::fopen(path, "a");
    return trace_file != nullptr;
}

bool tracing() {
    return trace_file != nullptr;
}

void trace(const char* format, ...) {  // NOLINT(cert-dcl50-cpp): a printf format by design
    if (trace_file == nullptr) return;
    using std::chrono::system_clock;
    const system_clock::time_point now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long long milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char stamp[32] = "";
    // One thread: gmtime's shared result is safe here.
    if (const std::tm* utc = std::gmtime(&seconds)) {  // NOLINT(concurrency-mt-unsafe)
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", utc);
    }
    std::fprintf(trace_file, "%s.%03lldZ ", stamp, milliseconds);
    va_list args;
    va_start(args, format);
    std::vfprintf(trace_file, format, args);
    va_end(args);
    std::fputc('\n', trace_file);
    // Flushed line by line, so that a run ended with Ctrl+C leaves its trace.
    std::fflush(trace_file);
}

void trace_close() {
    if (trace_file == nullptr) return;
    std::fclose(trace_file);
    trace_file = nullptr;
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

double trace_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
