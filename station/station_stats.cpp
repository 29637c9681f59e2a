#include "station/station_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "console/figures.h"

namespace {

constexpr double HOUR_S = 3600.0;

double median_of(std::vector<double> values) {
    if (values.empty()) return -1.0;
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<long>(middle), values.end());
    if (values.size() % 2 == 1) return values[middle];
    const double upper = values[middle];
    return (upper + *std::max_element(values.begin(), values.begin() + static_cast<long>(middle))) / 2;
}

}  // namespace

void StationStats::box_ended(BoxOutcome outcome, double seconds, double now, double erase_s, double transfer_s,
                             double flash_write_s) {
    if (outcome == BoxOutcome::Completed) {
        ++completed_;
        completions_.push_back(now);
        seconds_.push_back(seconds);
        if (flash_write_s >= 0) flash_writes_.push_back(flash_write_s);
    } else if (outcome == BoxOutcome::Interrupted) {
        ++interrupted_;
    } else if (outcome_failed(outcome)) {
        ++failed_;
    }
    // An erase that ended: the transfer began after it.
    if (erase_s >= 0 && transfer_s >= 0) erases_.push_back(erase_s);
}

double StationStats::yield_percent() const {
    const unsigned ended = completed_ + failed_ + interrupted_;
    return ended == 0 ? -1.0 : 100.0 * completed_ / ended;
}

double StationStats::per_hour(double now) const {
    const double running = now - started_;
    if (completed_ + failed_ + interrupted_ < RATE_AFTER_BOXES && running < RATE_AFTER_S) return -1.0;
    std::size_t recent = 0;
    for (auto it = completions_.rbegin(); it != completions_.rend() && now - *it <= HOUR_S; ++it) ++recent;
    if (running >= HOUR_S) return static_cast<double>(recent);
    return running > 0 ? static_cast<double>(completed_) * HOUR_S / running : 0.0;
}

double StationStats::median_seconds() const {
    return median_of(seconds_);
}

double StationStats::long_erase_s() const {
    return std::max(USUAL_ERASE_S, 2 * median_of(erases_));
}

double StationStats::long_flash_write_s() const {
    return std::max(USUAL_FLASH_WRITE_S, 2 * median_of(flash_writes_));
}

std::string StationStats::totals_line(int in_progress, double now, std::size_t width) const {
    const double yield = yield_percent();
    const double median = median_seconds();
    const double hourly = per_hour(now);
    char yield_text[32] = "";
    if (yield >= 0) std::snprintf(yield_text, sizeof yield_text, "%.1f %%", yield);
    char rate[32];
    if (hourly >= 0) {
        std::snprintf(rate, sizeof rate, "%.0f", std::floor(hourly + 0.5));
    } else {
        std::snprintf(rate, sizeof rate, "%s", no_figure());
    }
    char took[32] = "";
    if (median >= 0) format_duration(median, took, sizeof took);
    const std::string counts[] = {std::to_string(completed_), std::to_string(failed_), std::to_string(interrupted_)};
    // The words of one form: completed, failed, interrupted, in progress, yield, boxes/h, a box.
    struct Words {
        const char* completed;
        const char* interrupted;
        const char* progress;
        const char* yield;
        const char* hourly;
        const char* a_box;
        const char* start;
    };
    auto form = [&](const Words& w) {
        std::string line = std::string(w.start) + counts[0] + w.completed + counts[1] + " failed, " + counts[2] +
                           w.interrupted;
        if (in_progress >= 0) line += "; " + std::to_string(in_progress) + w.progress;
        if (yield >= 0) line += std::string("; ") + w.yield + yield_text;
        line += std::string("; ") + rate + w.hourly;
        if (median >= 0) line += std::string("; ") + took + w.a_box;
        return line;
    };
    // The longest form first, then shorter ones, until one fits.
    const Words forms[] = {
        {" completed, ", " interrupted", " in progress", "yield ", " boxes/h", " a box", "totals: "},
        {" completed, ", " interrupted", " busy", "yield ", "/h", " a box", "totals: "},
        {" done, ", " int.", " busy", "yield ", "/h", "/box", "totals: "},
        {" done, ", " int.", " busy", "", "/h", "/box", "totals: "},
        {" done, ", " int.", " busy", "", "/h", "/box", ""},
    };
    std::string line;
    for (const Words& words : forms) {
        line = form(words);
        if (line.size() <= width) break;
    }
    return line;
}
