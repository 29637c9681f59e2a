// What one port of the station shows: its state on the screen, and the
// events of a screen that is not a terminal. The port's thread writes it,
// the station's main thread reads it.
//
// Mutex rules: `lock_` guards `view_` and `events_`, every field of both.
// Every member function holds it for its whole body and nothing else is
// held meanwhile; readers get copies. Nothing else of a port is shared
// between its thread and the main thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "console/thread_safety.h"
#include "records/box_log.h"
#include "session/box_result.h"

enum class PortPhase {
    Opening,
    CannotOpen,   // reason: why; tried again every 2 s
    Waiting,      // for a box
    Erasing,      // the box answered and erases its flash
    Sending,      // percent, seconds_left
    FlashWrite,   // since phase_start
    BootCheck,    // under a job: waiting for the box's boot text, since phase_start
    RemoveBox,    // continuous: answering nothing until the line is quiet
    Completed,    // box_seconds: the box's time
    Failed,       // reason; outcome: which failure
    Interrupted,
    NumbersUsedUp,  // reason: the field used up; the port answers no more boxes
    NumbersWaiting, // reason: why no value is at hand; the box is answered once one is
    NotApproved,    // reason: "job revoked by ..."; the port answers no more boxes
};

struct PortView {
    std::string label;  // the port's name: "COM7", "/dev/ttyUSB0"
    std::string device;
    PortPhase phase = PortPhase::Opening;
    std::string reason;
    unsigned percent = 0;
    double seconds_left = 0;
    double phase_start = 0;
    double box_seconds = 0;
    unsigned completed = 0;
    unsigned failed = 0;       // lost connection
    unsigned interrupted = 0;
    bool box_in_progress = false;
    bool finished = false;     // one box per port: its box is over
    BoxOutcome outcome = BoxOutcome::NotStarted;  // how the last box ended
    std::string numbers;       // under a job: the numbers of the box in progress, or of the last one
    double numbers_waited = 0; // how long that box waited for its numbers (0: not at all)
    std::string box_id;        // under a job with [identity]: that box's own number, once its loader said it
    std::string last_reason;   // why the last box ended as it did (empty for a completed one)
};

// Something that happened on a port: for a screen that is not a terminal,
// the events file, the bell and the shift's figures.
struct PortEvent {
    std::string time;   // UTC
    std::string event;  // what happened: "opened", "cannot open", "box started", "completed", "failed",
                        // "interrupted", "remove the box", "port lost", "back", "numbers used up",
                        // "waiting for numbers"
    std::string text;   // the line shown: "opened /dev/ttyUSB0", "completed in 1:58"
    std::string device; // opened, back, cannot open
    std::string reason; // cannot open, port lost, and a box's end other than completed
    double when = 0;    // monotonic seconds
    // A box's end: how it ended, its time, the share of the image sent, its log row.
    bool box_end = false;
    BoxOutcome outcome = BoxOutcome::NotStarted;
    double seconds = 0;
    int percent = 0;
    std::shared_ptr<const BoxRecord> row;
};

class PortMonitor {
public:
    explicit PortMonitor(const std::string& label);

    // For the screen: a copy of the state, and the events since the last take.
    PortView view() const EXCLUDES(lock_);
    std::vector<PortEvent> take_events() EXCLUDES(lock_);

    // For the port's thread.
    void opened(const std::string& device, bool again) EXCLUDES(lock_);
    void cannot_open(const std::string& device, const std::string& reason) EXCLUDES(lock_);
    void lost(const std::string& reason) EXCLUDES(lock_);
    void waiting() EXCLUDES(lock_);
    void box_started() EXCLUDES(lock_);
    void box_progress(PortPhase phase, unsigned percent, double seconds_left) EXCLUDES(lock_);
    void numbers_taken(const std::string& pairs, double waited_s) EXCLUDES(lock_);
    void numbers_waiting(const std::string& reason) EXCLUDES(lock_);
    void box_named(const std::string& id) EXCLUDES(lock_);
    void box_ended(const BoxResult& box, const BoxRecord& row) EXCLUDES(lock_);
    void remove_the_box() EXCLUDES(lock_);
    void finished() EXCLUDES(lock_);

private:
    PortEvent& event(const char* name, const std::string& text) REQUIRES(lock_);
    void set_phase(PortPhase phase, const std::string& reason) REQUIRES(lock_);

    mutable Mutex lock_;
    PortView view_ GUARDED_BY(lock_);
    std::vector<PortEvent> events_ GUARDED_BY(lock_);
};
