// A trace of one run for the field: one timestamped line per event, appended
// to the file that STBLOAD_TRACE names. Without a trace file every call
// returns at once and costs nothing else. Safe from several threads once the
// file is open.
#pragma once

#include <cstddef>

#include "console/console.h"

// Opens `path` for appending. Returns false if it cannot be opened; the run
// then goes on without a trace.
bool trace_open(const char* path);

// Whether a trace is being written: callers test this before preparing
// anything that only the trace needs.
bool tracing();

// One line: a UTC timestamp with milliseconds, a space, the printf-style text.
void trace(const char* format, ...) STBLOAD_PRINTF_FORMAT;

// Names the calling thread's lines: "TIME LABEL: text" (a station's port).
void trace_label_thread(const char* label);

// Closes the trace file.
void trace_close();

// Writes `size` bytes of `data` into `text` as printable ASCII, with C escapes
// (\n, \r, \t, \\, \", \xHH) for everything else; cut short, ending in "...",
// if `text` is too small. `text` must hold at least 4 bytes.
void trace_escape(const char* data, std::size_t size, char* text, std::size_t text_size);

