#include "station/station_events.h"

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>

#include "console/console.h"
#include "console/system_error.h"

namespace {

// A phase's seconds as the log has them, one decimal, or null where the box did not reach it.
nlohmann::json seconds(double value) {
    if (value < 0) return nullptr;
    return std::round(value * 10) / 10;
}

}  // namespace

std::string event_json(const PortEvent& event, const std::string& port, const std::string& station) {
    nlohmann::json object = {{"time", event.time}, {"station", station}, {"port", port}, {"event", event.event}};
    if (!event.device.empty()) object["device"] = event.device;
    if (!event.reason.empty()) object["reason"] = event.reason;
    if (event.box_end) object["percent"] = event.percent;
    if (event.row) {
        const BoxRecord& r = *event.row;
        object.update({{"started", r.started}, {"ended", r.ended}, {"device", r.device}, {"adapter", r.adapter},
                       {"file", r.file}, {"crc32", r.crc32}, {"sha256", r.sha256}, {"result", r.result},
                       {"erase_s", seconds(r.erase_s)}, {"transfer_s", seconds(r.transfer_s)},
                       {"flash_write_s", seconds(r.flash_write_s)}, {"bytes_sent", r.bytes_sent},
                       {"reason", r.reason}, {"job", r.job}, {"box_id", r.box_id}, {"unique", r.unique},
                       {"box_crc32", r.box_crc32}, {"boot", r.boot}});
    }
    // A box's line may hold bytes that are no UTF-8: they are replaced, never dropped silently.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

EventsFile::~EventsFile() {
    if (file_ != nullptr) std::fclose(file_);
}

bool EventsFile::open(const std::string& where, std::string& error) {
    if (where == "-") {
        to_stdout_ = true;
        return true;
    }
    file_ = std::fopen(where.c_str(), "ab");
    if (file_ != nullptr) return true;
    char words[256];
    describe_system_error(errno, words, sizeof words);
    error = words;
    return false;
}

void EventsFile::write(const PortEvent& event, const std::string& port, const std::string& station) {
    const std::string line = event_json(event, port, station) + "\n";
    if (to_stdout_) {
        console_data(line.data(), line.size());
    } else if (file_ != nullptr) {
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }
}
