#include "session/session_trace.h"

#include "console/environment.h"
#include "console/trace.h"

Problem start_session_trace(const std::string& what) {
    Problem report;
    const char* path = environment_value("STBLOAD_TRACE");
    if (path == nullptr || path[0] == '\0') return report;
    if (!trace_open(path)) {
        report.notes.push_back(std::string("cannot open the trace file ") + path + "; going on without a trace");
        return report;
    }
    trace("stbload %s: %s", STBLOAD_VERSION, what.c_str());
    return report;
}

void end_session_trace(const std::string& what, int status) {
    trace("outcome: %s, exit status %d", what.c_str(), status);
    trace_close();
}

TraceScope::TraceScope(const std::string& what) {
    console_show(start_session_trace(what));
}
