// Invariant checks for the fuzz targets: a failed check prints what went wrong
// and aborts, which libFuzzer reports as a crash and saves the input.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

[[noreturn]] __attribute__((format(printf, 3, 4))) inline void fuzz_fail(const char* file, int line, const char* format, ...) {
    std::fprintf(stderr, "\n==== invariant failed at %s:%d: ", file, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, ...)                                  \
    do {                                                            \
        if (!(condition)) fuzz_fail(__FILE__, __LINE__, __VA_ARGS__); \
    } while (0)
