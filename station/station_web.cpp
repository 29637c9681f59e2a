#include "station/station_web.h"

#include <exception>
#include <utility>

#include "web/web_guard.h"

StationWeb::StationWeb(const StationOptions& options, std::string token)
    : listen_text_(options.serve),
      has_token_(!token.empty()),
      api_(feed_, StationApiSetup{options.log_path, std::move(token),
                                  [this](const std::string& port) {
                                      for (auto& worker : *workers_) {
                                          if (!worker->named_by(port)) continue;
                                          return worker->reset() ? ResetAnswer::Reset : ResetAnswer::NothingToReset;
                                      }
                                      return ResetAnswer::NoSuchPort;
                                  }}),
      server_(api_) {}

StationWeb::~StationWeb() {
    try {
        stop();
    } catch (const std::exception&) {
        // The server's thread could not be joined: the program is ending anyway.
    }
}

bool StationWeb::check(std::string& error) {
    if (!parse_listen(listen_text_, address_, port_, error)) {
        error = "--serve " + error;
        return false;
    }
    if (!is_loopback(address_) && !has_token_) {
        error = "--serve " + listen_text_ + " serves beyond this PC, which needs a token in STBLOAD_SERVE_TOKEN; " +
                "without one, serve 127.0.0.1 only (--serve " + std::to_string(port_) + ")";
        return false;
    }
    return true;
}

bool StationWeb::listen(const std::vector<std::string>& names, std::string& error) {
    if (!server_.listen(address_, port_, names, error)) return false;
    port_ = server_.port();
    return true;
}

std::string StationWeb::url() const {
    return served_url(address_, port_);
}

void StationWeb::start(Workers& workers) {
    workers_ = &workers;
    server_.start();
    started_ = true;
}

void StationWeb::stop() {
    if (!started_) return;
    server_.stop();
    started_ = false;
}

void StationWeb::wake() {
    if (started_) server_.wake();
}
