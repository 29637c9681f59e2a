#include "report/line_view_state.h"

#include <utility>

#include "console/clock.h"

std::string LineViewState::document() const {
    MutexLock held(lock_);
    return document_;
}

void LineViewState::publish(std::string document) {
    MutexLock held(lock_);
    document_ = std::move(document);
}

bool LineViewState::pause(double seconds) {
    const double until = monotonic_seconds() + seconds;
    MutexLock held(lock_);
    while (!stopped_) {
        const double left = until - monotonic_seconds();
        if (left <= 0) break;
        stopping_.wait_for(lock_, left);
    }
    return !stopped_;
}

void LineViewState::stop() {
    MutexLock held(lock_);
    stopped_ = true;
    stopping_.notify_all();
}
