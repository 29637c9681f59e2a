#include "station/port_monitor.h"

#include <chrono>
#include <cmath>

#include "console/clock.h"
#include "console/figures.h"
#include "image/hex_image.h"

PortMonitor::PortMonitor(const std::string& label) {
    const MutexLock hold(lock_);
    view_.label = label;
    view_.phase_start = monotonic_seconds();  // opening since now
}

PortView PortMonitor::view() const {
    const MutexLock hold(lock_);
    return view_;
}

std::vector<PortEvent> PortMonitor::take_events() {
    const MutexLock hold(lock_);
    std::vector<PortEvent> taken;
    taken.swap(events_);
    return taken;
}

PortEvent& PortMonitor::event(const char* name, const std::string& text) {
    char time[40];
    format_utc(std::chrono::system_clock::now(), time, sizeof time);
    PortEvent happened;
    happened.time = time;
    happened.event = name;
    happened.text = text;
    happened.when = monotonic_seconds();
    events_.push_back(std::move(happened));
    return events_.back();
}

void PortMonitor::set_phase(PortPhase phase, const std::string& reason) {
    view_.phase = phase;
    view_.reason = reason;
    view_.phase_start = monotonic_seconds();
}

void PortMonitor::opened(const std::string& device, bool again) {
    const MutexLock hold(lock_);
    view_.device = device;
    event(again ? "back" : "opened", (again ? "back on " : "opened ") + device).device = device;
}

void PortMonitor::cannot_open(const std::string& device, const std::string& reason) {
    const MutexLock hold(lock_);
    view_.device = device;
    set_phase(PortPhase::CannotOpen, reason);
    PortEvent& happened = event("cannot open", reason);
    happened.device = device;
    happened.reason = reason.substr(reason.find(": ") == std::string::npos ? 0 : reason.find(": ") + 2);
}

void PortMonitor::lost(const std::string& reason) {
    const MutexLock hold(lock_);
    set_phase(PortPhase::CannotOpen, "lost: " + reason);
    event("port lost", "port lost: " + reason).reason = reason;
}

void PortMonitor::waiting() {
    const MutexLock hold(lock_);
    set_phase(PortPhase::Waiting, std::string());
}

void PortMonitor::box_started() {
    const MutexLock hold(lock_);
    view_.box_in_progress = true;
    view_.numbers.clear();
    view_.numbers_waited = 0;
    view_.box_id.clear();
    event("box started", "box started");
}

void PortMonitor::box_progress(PortPhase phase, unsigned percent, double seconds_left) {
    const MutexLock hold(lock_);
    if (view_.phase != phase) view_.phase_start = monotonic_seconds();
    view_.phase = phase;
    view_.percent = percent;
    view_.seconds_left = seconds_left;
}

void PortMonitor::numbers_taken(const std::string& pairs, double waited_s) {
    const MutexLock hold(lock_);
    view_.numbers = pairs;
    view_.numbers_waited = waited_s;
}

void PortMonitor::box_named(const std::string& id) {
    const MutexLock hold(lock_);
    view_.box_id = id;
}

void PortMonitor::numbers_waiting(const std::string& reason) {
    const MutexLock hold(lock_);
    if (view_.phase == PortPhase::NumbersWaiting && view_.reason == reason) return;
    set_phase(PortPhase::NumbersWaiting, reason);
    event("waiting for numbers", "waiting for numbers: " + reason).reason = reason;
}

namespace {

// What a person labels the box with: its numbers and its own number.
std::string box_labels(const BoxResult& box, double numbers_waited) {
    std::string which = box.unique.empty() ? std::string() : " " + box.unique;
    if (!box.box_id.empty()) which += " box_id=" + box.box_id;
    if (numbers_waited >= 0.5) which += " (waited " + std::to_string(std::lround(numbers_waited)) + " s for numbers)";
    return which;
}

}  // namespace

void PortMonitor::box_ended(const BoxResult& box, const BoxRecord& row) {
    const MutexLock hold(lock_);
    view_.box_in_progress = false;
    view_.box_seconds = box.seconds;
    view_.box_id = box.box_id;
    view_.outcome = box.outcome;
    view_.last_reason = box.reason;
    char took[32];
    format_duration(box.seconds, took, sizeof took);
    const std::string which = box_labels(box, view_.numbers_waited);
    const char* name = "failed";
    std::string text;
    switch (box.outcome) {
    case BoxOutcome::Completed:
        ++view_.completed;
        set_phase(PortPhase::Completed, std::string());
        name = "completed";
        text = std::string("completed in ") + took + which;
        break;
    case BoxOutcome::Interrupted:
        ++view_.interrupted;
        set_phase(PortPhase::Interrupted, box.reason);
        name = "interrupted";
        text = "interrupted" + which;
        break;
    case BoxOutcome::NumbersUsedUp:
        ++view_.failed;
        set_phase(PortPhase::NumbersUsedUp, box.reason);
        name = "numbers used up";
        text = "numbers used up: " + box.reason.substr(0, box.reason.find(' '));
        break;
    case BoxOutcome::NotApproved:
        ++view_.failed;
        set_phase(PortPhase::NotApproved, box.reason);
        name = "not approved";
        text = box.reason;
        break;
    case BoxOutcome::Lost:
    case BoxOutcome::NotStarted:
    case BoxOutcome::NoBoot:
    case BoxOutcome::NoNumbers:
    case BoxOutcome::TimedOut:
    case BoxOutcome::Reset:
        ++view_.failed;
        set_phase(PortPhase::Failed, box.reason);
        text = std::string("failed: ") + outcome_word(box.outcome) + " (" + box.reason + ")" + which;
        break;
    }
    PortEvent& happened = event(name, text);
    happened.device = row.device;
    happened.reason = box.reason;
    happened.box_end = true;
    happened.outcome = box.outcome;
    happened.seconds = box.seconds;
    happened.percent = static_cast<int>(box.bytes_sent * 100 / TRANSFER_LENGTH);
    happened.row = std::make_shared<const BoxRecord>(row);
}

void PortMonitor::remove_the_box() {
    const MutexLock hold(lock_);
    set_phase(PortPhase::RemoveBox, std::string());
    event("remove the box", "remove the box");
}

void PortMonitor::finished() {
    const MutexLock hold(lock_);
    view_.finished = true;
}
