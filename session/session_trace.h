// The trace of a run (STBLOAD_TRACE), started and ended the same way by
// every front end.
#pragma once

#include <string>

#include "console/console.h"

// Opens the trace that STBLOAD_TRACE names, if any, and writes its first
// line: "stbload VERSION: WHAT". A trace that cannot be opened gives a note;
// the run goes on without it.
ConsoleReport start_session_trace(const std::string& what);

// The trace's last line, "outcome: WHAT, exit status N", and its close.
void end_session_trace(const std::string& what, int status);
