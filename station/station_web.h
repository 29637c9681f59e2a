// The station's web server, when --serve or the job's [serve] asks for one:
// the address checked before anything else, bound before any port opens,
// and served on a thread of its own from the feed the main thread fills.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "station/port_worker.h"
#include "station/station_api.h"
#include "station/station_feed.h"
#include "web/web_server.h"

using Workers = std::vector<std::unique_ptr<PortWorker>>;

class StationWeb {
public:
    StationWeb(const StationOptions& options, std::string token);
    ~StationWeb();
    StationWeb(const StationWeb&) = delete;
    StationWeb& operator=(const StationWeb&) = delete;

    bool asked() const { return !listen_text_.empty(); }
    // The address as given: false, with `error` in words, for one that
    // cannot be served as asked (malformed, or beyond this PC without a token).
    bool check(std::string& error);
    // Binds the address: false, with `error` naming it, when it is in use or not this PC's.
    bool listen(const std::vector<std::string>& names, std::string& error);
    // "http://127.0.0.1:8080/"
    std::string url() const;
    // Serves, with resets going to `workers`, which must outlive stop().
    void start(Workers& workers);
    void stop();

    StationFeed& feed() { return feed_; }
    // New events or status for the clients.
    void wake();

private:
    std::string listen_text_;
    std::string address_;
    unsigned port_ = 0;
    bool has_token_;
    StationFeed feed_;
    Workers* workers_ = nullptr;  // set before start(), read on the server's thread
    StationApi api_;
    WebServer server_;
    bool started_ = false;
};
