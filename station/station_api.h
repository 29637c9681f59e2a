// The station's page and API, as its web server serves them:
//   GET  /                          the page (station/station_page.cpp)
//   GET  /api/status                the status document
//   GET  /api/events                the events, as Server-Sent Events
//   GET  /api/log?since=TIME        the log's rows ended at or after TIME
//   POST /api/stop                  stop as a first Ctrl+C does (token)
//   POST /api/ports/{port}/reset    reset one port (token)
// Everything is read from the feed and the log file; the only act on the
// station's ports is the reset it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "station/station_feed.h"
#include "web/http.h"

enum class ResetAnswer { Reset, NothingToReset, NoSuchPort };

struct StationApiSetup {
    std::string log_path;
    std::string token;  // STBLOAD_SERVE_TOKEN; empty: nothing may be changed
    // Resets the port named as the log names it; from the server's thread.
    std::function<ResetAnswer(const std::string& port)> reset;
};

class StationApi final : public WebSite {
public:
    StationApi(StationFeed& feed, StationApiSetup setup);
    HttpAnswer answer(const HttpRequest& request) override;
    std::vector<StreamEvent> events_after(std::uint64_t last_id) override { return feed_.after(last_id); }

private:
    HttpAnswer events(const HttpRequest& request) const;
    HttpAnswer log_rows(const HttpRequest& request) const;
    HttpAnswer change(const HttpRequest& request);

    StationFeed& feed_;
    StationApiSetup setup_;
};

// The most rows /api/log gives at a time.
constexpr std::size_t LOG_ROWS_AT_A_TIME = 10000;

// Values a request carries, read as the API reads them.
bool parse_event_id(const std::string& text, std::uint64_t& id);  // "17": digits only, 64 bits
bool is_log_time(const std::string& text);                         // "2026-12-09T05:40:12.345Z"
// %XX and '+' decoded; false for a broken %.
bool url_decode(const std::string& text, std::string& decoded);
// The value of `name` in a query ("since=...&x=1"), decoded; false if absent or broken.
bool query_value(const std::string& query, const std::string& name, std::string& value);
// The port of "/api/ports/{port}/reset", decoded; false for another path.
bool reset_path_port(const std::string& path, std::string& port);
