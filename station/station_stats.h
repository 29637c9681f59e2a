// The shift's figures from the boxes' ends: the yield, boxes an hour and the
// time a box takes, for the totals line.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "session/box_result.h"

class StationStats {
public:
    // `started`: when the station started (monotonic seconds).
    explicit StationStats(double started) : started_(started) {}

    // A box ended at `now` (monotonic seconds), after `seconds` from its first loader line.
    void box_ended(BoxOutcome outcome, double seconds, double now);

    unsigned completed() const { return completed_; }
    unsigned failed() const { return failed_; }
    unsigned interrupted() const { return interrupted_; }
    // Completed of ended boxes, in percent; negative before any box ended.
    double yield_percent() const;
    // Boxes completed in the last hour, or per hour so far in the first.
    double per_hour(double now) const;
    // The median time of the completed boxes; negative before there is one.
    double median_seconds() const;

    // "412 completed, 9 failed (97.9 %), 0 interrupted; 12 in progress; 96
    // boxes/h; 2:31 a box", made shorter where it would not fit `width`
    // ("in progress" left out when `in_progress` is negative).
    std::string totals_line(int in_progress, double now, std::size_t width) const;

private:
    double started_;
    unsigned completed_ = 0;
    unsigned failed_ = 0;
    unsigned interrupted_ = 0;
    std::deque<double> completions_;  // when each box of the last hour completed
    std::vector<double> seconds_;     // each completed box's time
};
