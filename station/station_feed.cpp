#include "station/station_feed.h"

#include <utility>

void StationFeed::set_status(std::string json) {
    const MutexLock hold(lock_);
    status_ = std::move(json);
}

std::string StationFeed::status() const {
    const MutexLock hold(lock_);
    return status_;
}

std::uint64_t StationFeed::publish(std::string json) {
    const MutexLock hold(lock_);
    const std::uint64_t id = next_id_++;
    events_.push_back(StreamEvent{id, std::move(json)});
    if (events_.size() > KEPT) events_.pop_front();
    return id;
}

std::uint64_t StationFeed::last_id() const {
    const MutexLock hold(lock_);
    return next_id_ - 1;
}

std::vector<StreamEvent> StationFeed::after(std::uint64_t id) const {
    const MutexLock hold(lock_);
    std::vector<StreamEvent> newer;
    if (events_.empty() || id >= events_.back().id) return newer;
    const std::uint64_t first = events_.front().id;
    const std::size_t skip = id < first ? 0 : static_cast<std::size_t>(id - first + 1);
    newer.assign(events_.begin() + static_cast<std::ptrdiff_t>(skip), events_.end());
    return newer;
}
