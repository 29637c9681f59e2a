#include "station/station_events.h"

#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "console/console.h"
#include "console/system_error.h"
#include "records/log_columns.h"

namespace {

// A column's value as JSON: seconds and counts as numbers (a phase the box did
// not reach is null), everything else as the log's text.
nlohmann::json column_value(const LogColumn& column, const BoxRecord& record) {
    const std::string text = column.value(record);
    switch (column.kind) {
    case ColumnKind::Seconds:
        if (text.empty()) return nullptr;
        return std::strtod(text.c_str(), nullptr);
    case ColumnKind::Count:
        return std::strtoull(text.c_str(), nullptr, 10);
    case ColumnKind::Time:
    case ColumnKind::Text:
        break;
    }
    return text;
}

}  // namespace

std::string event_json(const PortEvent& event, const std::string& port, const std::string& station) {
    nlohmann::json object = {{"time", event.time}, {"station", station}, {"port", port}, {"event", event.event}};
    if (!event.device.empty()) object["device"] = event.device;
    if (!event.reason.empty()) object["reason"] = event.reason;
    if (event.box_end) object["percent"] = event.percent;
    if (event.row) {
        // Every column of the box's row but those the event names already.
        for (std::size_t c = 0; c < LOG_COLUMN_COUNT; ++c) {
            if (c == col::STATION || c == col::PORT) continue;
            object[LOG_COLUMNS[c].name] = column_value(LOG_COLUMNS[c], *event.row);
        }
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
