#include "station/station_status.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "console/clock.h"
#include "station/station_screen.h"

namespace {

nlohmann::json text_or_null(const std::string& text) {
    if (text.empty()) return nullptr;
    return text;
}

// A monotonic time as UTC, from how long ago it was.
std::string utc_of(double when, double now) {
    const auto ago = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(now > when ? now - when : 0));
    char text[40];
    format_utc(std::chrono::system_clock::now() - ago, text, sizeof text);
    return text;
}

// The colour the station's screen gives the port, for the page.
nlohmann::json colour_name(const PortView& view, double now, const LongWaits& waits) {
    switch (port_colour(view, now, waits)) {
    case Colour::Green: return "green";
    case Colour::Red: return "red";
    case Colour::Yellow: return "yellow";
    case Colour::Default: break;
    }
    return nullptr;
}

nlohmann::json port_json(const PortView& view, const std::string& given, double now, const LongWaits& waits) {
    const bool ended_one = view.completed + view.failed + view.interrupted > 0;
    const bool sending = view.box_in_progress && view.phase == PortPhase::Sending;
    return {{"port", given},
            {"device", text_or_null(view.device)},
            {"state", port_state(view)},
            {"colour", colour_name(view, now, waits)},
            {"since", utc_of(view.phase_start, now)},
            {"percent", sending ? nlohmann::json(view.percent) : nlohmann::json(nullptr)},
            {"box_id", text_or_null(view.box_id)},
            {"unique", text_or_null(view.numbers)},
            {"last_result", ended_one ? nlohmann::json(outcome_word(view.outcome)) : nlohmann::json(nullptr)},
            {"last_reason", ended_one ? text_or_null(view.last_reason) : nlohmann::json(nullptr)},
            {"completed", view.completed},
            {"failed", view.failed},
            {"interrupted", view.interrupted}};
}

}  // namespace

const char* port_state(const PortView& view) {
    if (view.finished) return "done";
    switch (view.phase) {
    case PortPhase::Opening:
        return "opening";
    case PortPhase::CannotOpen:
        return view.reason.rfind("lost: ", 0) == 0 ? "port lost" : "cannot open";
    case PortPhase::Erasing:
        return "erasing";
    case PortPhase::Sending:
        return view.percent >= 100 ? "confirming" : "sending";
    case PortPhase::FlashWrite:
        return "writing flash";
    case PortPhase::BootCheck:
        return "checking boot";
    case PortPhase::RemoveBox:
        return "remove the box";
    case PortPhase::NumbersWaiting:
        return "waiting for numbers";
    case PortPhase::NumbersUsedUp:
        return "numbers used up";
    case PortPhase::NotApproved:
        return "job revoked";
    case PortPhase::Waiting:
    case PortPhase::Completed:
    case PortPhase::Failed:
    case PortPhase::Interrupted:
        break;
    }
    // A box that has spoken and is not yet erasing has had its answer.
    return view.box_in_progress ? "answered" : "waiting";
}

std::string status_json(const StationFacts& facts, const std::vector<PortView>& views,
                        const std::vector<std::string>& given, const StationStats& stats, double now,
                        const LineKeeper* line) {
    const LongWaits waits{stats.long_erase_s(), stats.long_flash_write_s()};
    nlohmann::json ports = nlohmann::json::array();
    for (std::size_t i = 0; i < views.size() && i < given.size(); ++i) {
        ports.push_back(port_json(views[i], given[i], now, waits));
    }
    const StationTotals totals = station_totals(views);
    const double yield = stats.yield_percent();
    const double per_hour = stats.per_hour(now);
    nlohmann::json database = nullptr;
    if (line != nullptr) {
        const LineStatus status = line->status();
        database = {{"reached", status.reached},
                    {"state", status.reached ? "reached" : "away"},
                    {"reason", text_or_null(status.reason)},
                    {"waiting", status.waiting},
                    {"refused", status.refused}};
    }
    const nlohmann::json document = {
        {"station", facts.station},
        {"job", text_or_null(facts.job)},
        {"image", {{"file", facts.file}, {"crc32", facts.crc32}, {"sha256", facts.sha256}}},
        {"started", facts.started},
        {"ports", ports},
        {"totals",
         {{"completed", totals.completed},
          {"failed", totals.failed},
          {"interrupted", totals.interrupted},
          {"in_progress", totals.in_progress},
          {"yield", yield < 0 ? nlohmann::json(nullptr) : nlohmann::json(yield / 100)},
          {"boxes_per_hour", per_hour < 0 ? nlohmann::json(nullptr) : nlohmann::json(per_hour)}}},
        {"database", database}};
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
