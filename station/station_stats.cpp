#include "station/station_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "console/figures.h"

namespace {

constexpr double HOUR_S = 3600.0;

}  // namespace

void StationStats::box_ended(BoxOutcome outcome, double seconds, double now) {
    if (outcome == BoxOutcome::Completed) {
        ++completed_;
        completions_.push_back(now);
        seconds_.push_back(seconds);
    } else if (outcome == BoxOutcome::Interrupted) {
        ++interrupted_;
    } else if (outcome_failed(outcome)) {
        ++failed_;
    }
}

double StationStats::yield_percent() const {
    const unsigned ended = completed_ + failed_ + interrupted_;
    return ended == 0 ? -1.0 : 100.0 * completed_ / ended;
}

double StationStats::per_hour(double now) const {
    const double running = now - started_;
    std::size_t recent = 0;
    for (auto it = completions_.rbegin(); it != completions_.rend() && now - *it <= HOUR_S; ++it) ++recent;
    if (running >= HOUR_S) return static_cast<double>(recent);
    return running > 0 ? static_cast<double>(completed_) * HOUR_S / running : 0.0;
}

double StationStats::median_seconds() const {
    if (seconds_.empty()) return -1.0;
    std::vector<double> sorted = seconds_;
    const std::size_t middle = sorted.size() / 2;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(middle), sorted.end());
    if (sorted.size() % 2 == 1) return sorted[middle];
    const double upper = sorted[middle];
    return (upper + *std::max_element(sorted.begin(), sorted.begin() + static_cast<long>(middle))) / 2;
}

std::string StationStats::totals_line(int in_progress, double now, std::size_t width) const {
    const double yield = yield_percent();
    const double median = median_seconds();
    char yield_text[32] = "";
    if (yield >= 0) std::snprintf(yield_text, sizeof yield_text, " (%.1f %%)", yield);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", std::floor(per_hour(now) + 0.5));
    char took[32] = "";
    if (median >= 0) format_duration(median, took, sizeof took);
    const std::string done = std::to_string(completed_);
    const std::string failures = std::to_string(failed_) + " failed" + yield_text;
    const std::string stopped = std::to_string(interrupted_);
    const std::string busy = in_progress >= 0 ? std::to_string(in_progress) : std::string();
    const std::string box = median >= 0 ? std::string(took) : std::string();
    auto form = [&](const char* completed, const char* interrupted, const char* progress, const char* hourly,
                    const char* a_box) {
        std::string line = "totals: " + done + completed + failures + ", " + stopped + interrupted;
        if (!busy.empty()) line += "; " + busy + progress;
        line += std::string("; ") + rate + hourly;
        if (!box.empty()) line += "; " + box + a_box;
        return line;
    };
    // The longest form first, then shorter ones, until one fits.
    const std::string forms[] = {
        form(" completed, ", " interrupted", " in progress", " boxes/h", " a box"),
        form(" completed, ", " interrupted", " busy", "/h", " a box"),
        form(" done, ", " int.", " busy", " boxes/h", " a box"),
        form(" done, ", " int.", " busy", "/h", "/box"),
    };
    for (const std::string& line : forms) {
        if (line.size() <= width) return line;
    }
    return forms[3];
}
