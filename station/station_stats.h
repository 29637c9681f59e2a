// The shift's figures from the boxes' ends: the yield, boxes an hour, the
// time a box takes and how long its phases usually take, for the totals line
// and for the screen's long waits.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "session/box_result.h"

// How long a phase may take before the screen calls its wait long: the
// usual time, or twice this station's median so far, whichever is more.
constexpr double USUAL_ERASE_S = 30;
constexpr double USUAL_FLASH_WRITE_S = 60;

// A rate is shown once this many boxes have ended, or the station has run this long.
constexpr unsigned RATE_AFTER_BOXES = 10;
constexpr double RATE_AFTER_S = 600;

class StationStats {
public:
    // `started`: when the station started (monotonic seconds).
    explicit StationStats(double started) : started_(started) {}

    // A box ended at `now` (monotonic seconds), after `seconds` from its
    // first loader line, with its phases' times (negative: not reached).
    void box_ended(BoxOutcome outcome, double seconds, double now, double erase_s = -1, double transfer_s = -1,
                   double flash_write_s = -1);

    unsigned completed() const { return completed_; }
    unsigned failed() const { return failed_; }
    unsigned interrupted() const { return interrupted_; }
    // Completed of ended boxes (interrupted ones included), in percent;
    // negative before any box ended.
    double yield_percent() const;
    // Boxes completed in the last hour, or per hour so far in the first;
    // negative until RATE_AFTER_BOXES boxes have ended or RATE_AFTER_S passed.
    double per_hour(double now) const;
    // The median time of the completed boxes; negative before there is one.
    double median_seconds() const;
    // How long an erase and a flash write may take before the wait is long.
    double long_erase_s() const;
    double long_flash_write_s() const;

    // "412 completed, 9 failed, 1 interrupted; 12 in progress; yield 97.6 %;
    // 96 boxes/h; 2:31 a box", made shorter where it would not fit `width`
    // ("in progress" left out when `in_progress` is negative).
    std::string totals_line(int in_progress, double now, std::size_t width) const;

private:
    double started_;
    unsigned completed_ = 0;
    unsigned failed_ = 0;
    unsigned interrupted_ = 0;
    std::deque<double> completions_;  // when each box of the last hour completed
    std::vector<double> seconds_;     // each completed box's time
    std::vector<double> erases_;      // each finished erase's time
    std::vector<double> flash_writes_;  // each completed box's flash write
};
