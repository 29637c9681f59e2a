// All console output of the tool goes through here, byte for byte as formatted:
// the messages on standard output, and diagnostics on standard error.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#if defined(__GNUC__)
#define STBLOAD_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#define STBLOAD_PRINTF_FORMAT_2 __attribute__((format(printf, 2, 3)))
#else
#define STBLOAD_PRINTF_FORMAT
#define STBLOAD_PRINTF_FORMAT_2
#endif

// Prepares standard output: no newline translation, so that every message
// leaves exactly as written. Standard error keeps the platform's text mode.
void console_setup();

// printf-style output to standard output (or to the capture sink, if set).
// Each call is pushed out at once, on a terminal, a pipe or a file alike, so an
// operator sees every message (and the spinner) when it happens.
void console_print(const char* format, ...) STBLOAD_PRINTF_FORMAT;

// A diagnostic on standard error: "stbload: ", the printf-style text and a
// line end, pushed out at once. The text is "FILE:LINE: what" or just "what".
void console_note(const char* format, ...) STBLOAD_PRINTF_FORMAT;

// The last line of a run that failed: "FAILED: " and why, on standard error,
// in red on a terminal that takes colours (none with NO_COLOR, TERM=dumb, or
// off a terminal).
void console_failed(const std::string& reason);

// console_note() for text that is already formatted, in the form of a sink
// that lower layers hand their notes to (`context` is unused).
void console_note_text(void* context, const char* text);

// Standard output kept for data (--json, --events -): from now on the
// messages of console_print go to standard error, and console_data() alone
// writes to standard output.
void console_keep_stdout_for_data();
bool console_stdout_kept_for_data();
// Writes `size` bytes of data to standard output at once.
void console_data(const char* data, std::size_t size);

// What a lower floor has for the operator: a message (its lines, for
// standard output, often none) and notes (for standard error), shown in that
// order. No line ends inside: the front ends write them.
struct Problem {
    std::vector<std::string> message;
    std::vector<std::string> notes;

    // The message as one line, its lines joined by "; " (for JSON, the trace).
    std::string message_text() const;
};
void console_show(const Problem& problem);

// Test hook: send standard output to `sink` instead; nullptr restores it.
using ConsoleSink = void (*)(void* context, const char* text, std::size_t size);
void console_capture(ConsoleSink sink, void* context);
