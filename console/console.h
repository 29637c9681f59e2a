// All console output of the tool goes through here, byte for byte as formatted.
#pragma once

#include <cstddef>

#if defined(__GNUC__)
#define STBLOAD_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define STBLOAD_PRINTF_FORMAT
#endif

// Prepares standard output: no newline translation, and no buffering when it is
// a terminal so that every message (and the spinner) shows at once.
void console_setup();

// printf-style output to standard output (or to the capture sink, if set).
void console_print(const char* format, ...) STBLOAD_PRINTF_FORMAT;

// Pushes out anything buffered; called before the program exits.
void console_flush();

// Test hook: send all output to `sink` instead of standard output; nullptr restores it.
using ConsoleSink = void (*)(void* context, const char* text, std::size_t size);
void console_capture(ConsoleSink sink, void* context);
