// The station's events for the line's software: one JSON object per event,
// one per line, written and flushed at once, to a file (appended) or to
// standard output instead of the plain lines.
#pragma once

#include <cstdio>
#include <string>

#include "station/port_monitor.h"

// The object for `event` on the port given as `port`, at the station `station`:
// time, station, port, event, and the event's own fields (device, reason,
// percent); a box's end carries every column of its log row as well.
std::string event_json(const PortEvent& event, const std::string& port, const std::string& station);

class EventsFile {
public:
    EventsFile() = default;
    ~EventsFile();
    EventsFile(const EventsFile&) = delete;
    EventsFile& operator=(const EventsFile&) = delete;

    // "-" for standard output; else a file, created or appended to. False,
    // with the system's words in `error`, when it cannot be opened.
    bool open(const std::string& where, std::string& error);
    bool to_stdout() const { return to_stdout_; }
    bool is_open() const { return to_stdout_ || file_ != nullptr; }
    void write(const PortEvent& event, const std::string& port, const std::string& station);

private:
    std::FILE* file_ = nullptr;
    bool to_stdout_ = false;
};
