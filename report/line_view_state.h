// What the line view's refresher hands its web server: the last document
// made from the line's database, as JSON text, and the request to stop.
//
// Mutex rules: lock_ guards document_ and stopped_. The refresher writes the
// document, the server's thread reads it, the main thread stops; nothing is
// taken inside lock_.
#pragma once

#include <string>

#include "console/thread_safety.h"

class LineViewState {
public:
    std::string document() const EXCLUDES(lock_);
    void publish(std::string document) EXCLUDES(lock_);
    // The refresher's pause between readings: up to `seconds`, or until
    // stop(). False once the view is to stop.
    bool pause(double seconds) EXCLUDES(lock_);
    void stop() EXCLUDES(lock_);

private:
    mutable Mutex lock_;
    Condition stopping_;
    std::string document_ GUARDED_BY(lock_);
    bool stopped_ GUARDED_BY(lock_) = false;
};
