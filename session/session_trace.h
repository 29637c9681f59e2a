// The trace of a run (STBLOAD_TRACE), started and ended the same way by
// every front end.
#pragma once

#include <string>

#include "console/console.h"

// Opens the trace that STBLOAD_TRACE names, if any, and writes its first
// line: "stbload VERSION: WHAT". A trace that cannot be opened gives a note;
// the run goes on without it.
Problem start_session_trace(const std::string& what);

// The trace's last line, "outcome: WHAT, exit status N", and its close.
void end_session_trace(const std::string& what, int status);

// A run's trace from start to end, whichever way the run leaves: the end
// says the outcome last set (by default that the run was given up).
class TraceScope {
public:
    // Starts the trace; a trace that cannot be opened gives a note now.
    explicit TraceScope(const std::string& what);
    ~TraceScope() { end(); }
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    // What the trace's last line will say; returns `status`, for a return statement.
    int outcome(const std::string& what, int status) {
        what_ = what;
        status_ = status;
        return status;
    }

    // Writes the last line now (once).
    void end() {
        if (ended_) return;
        ended_ = true;
        end_session_trace(what_, status_);
    }

private:
    bool ended_ = false;
    std::string what_ = "given up";
    int status_ = 1;
};
