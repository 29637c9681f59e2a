// What the station's web server reads of the station: its status as one
// JSON document, remade by the main thread at each look, and its events,
// numbered from 1 since the station started, the last KEPT of them kept; and
// the stop that a client may ask for.
//
// Mutex rules: `lock_` guards `status_`, `events_` and `next_id_`. Every
// member function holds it for its whole body and takes nothing else
// meanwhile; readers get copies. `stop_` is atomic and needs no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "console/thread_safety.h"
#include "web/http.h"

class StationFeed {
public:
    static constexpr std::size_t KEPT = 1000;

    void set_status(std::string json) EXCLUDES(lock_);
    std::string status() const EXCLUDES(lock_);

    // Keeps the event (one line of JSON) and returns its number.
    std::uint64_t publish(std::string json) EXCLUDES(lock_);
    // The number of the last event, 0 before the first.
    std::uint64_t last_id() const EXCLUDES(lock_);
    // The events kept after `id`, oldest first.
    std::vector<StreamEvent> after(std::uint64_t id) const EXCLUDES(lock_);

    void ask_stop() { stop_.store(true); }
    bool stop_asked() const { return stop_.load(); }

private:
    mutable Mutex lock_;
    std::string status_ GUARDED_BY(lock_) = "{}";
    std::deque<StreamEvent> events_ GUARDED_BY(lock_);
    std::uint64_t next_id_ GUARDED_BY(lock_) = 1;
    std::atomic<bool> stop_{false};
};
