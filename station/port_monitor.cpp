#include "station/port_monitor.h"

#include <chrono>

#include "console/clock.h"
#include "console/figures.h"

PortMonitor::PortMonitor(const std::string& label) {
    view_.label = label;
}

PortView PortMonitor::view() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return view_;
}

std::vector<PortEvent> PortMonitor::take_events() {
    const std::lock_guard<std::mutex> hold(lock_);
    std::vector<PortEvent> taken;
    taken.swap(events_);
    return taken;
}

void PortMonitor::event(const char* name, const std::string& text) {
    char time[40];
    format_utc(std::chrono::system_clock::now(), time, sizeof time);
    events_.push_back({time, name, text});
}

void PortMonitor::set_phase(PortPhase phase, const std::string& reason) {
    view_.phase = phase;
    view_.reason = reason;
    view_.phase_start = monotonic_seconds();
}

void PortMonitor::opened(const std::string& device, bool again) {
    const std::lock_guard<std::mutex> hold(lock_);
    view_.device = device;
    event(again ? "back" : "opened", (again ? "back on " : "opened ") + device);
}

void PortMonitor::cannot_open(const std::string& device, const std::string& reason) {
    const std::lock_guard<std::mutex> hold(lock_);
    view_.device = device;
    set_phase(PortPhase::CannotOpen, reason);
    event("cannot open", reason);
}

void PortMonitor::lost(const std::string& reason) {
    const std::lock_guard<std::mutex> hold(lock_);
    set_phase(PortPhase::CannotOpen, "lost: " + reason);
    event("port lost", "port lost: " + reason);
}

void PortMonitor::waiting() {
    const std::lock_guard<std::mutex> hold(lock_);
    set_phase(PortPhase::Waiting, std::string());
}

void PortMonitor::box_started() {
    const std::lock_guard<std::mutex> hold(lock_);
    view_.box_in_progress = true;
    event("box started", "box started");
}

void PortMonitor::box_progress(PortPhase phase, unsigned percent, double seconds_left) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (view_.phase != phase) view_.phase_start = monotonic_seconds();
    view_.phase = phase;
    view_.percent = percent;
    view_.seconds_left = seconds_left;
}

void PortMonitor::box_ended(const BoxResult& box) {
    const std::lock_guard<std::mutex> hold(lock_);
    view_.box_in_progress = false;
    view_.box_seconds = box.seconds;
    char took[32];
    format_duration(box.seconds, took, sizeof took);
    switch (box.outcome) {
    case BoxOutcome::Completed:
        ++view_.completed;
        set_phase(PortPhase::Completed, std::string());
        event("completed", std::string("completed in ") + took);
        return;
    case BoxOutcome::Interrupted:
        ++view_.interrupted;
        set_phase(PortPhase::Interrupted, box.reason);
        event("interrupted", "interrupted");
        return;
    case BoxOutcome::Lost:
    case BoxOutcome::NotStarted:
        ++view_.failed;
        set_phase(PortPhase::Failed, box.reason);
        event("failed", "failed: lost connection (" + box.reason + ")");
        return;
    }
}

void PortMonitor::remove_the_box() {
    const std::lock_guard<std::mutex> hold(lock_);
    set_phase(PortPhase::RemoveBox, std::string());
    event("remove the box", "remove the box");
}

void PortMonitor::finished() {
    const std::lock_guard<std::mutex> hold(lock_);
    view_.finished = true;
}
