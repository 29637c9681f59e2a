// A small HTTP/1.1 server on a thread of its own, for a site's pages, its
// JSON and its event streams. Before any site sees a request, the server
// checks its size, its time and its Host; a client that is slow or gone
// costs only its own connection, never the program's other threads.
//
// Mutex rules: none are shared. Everything the server holds (its
// connections, its streams) belongs to its thread; wake() and stop() only
// hand work to that thread. The site is called on the server's thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "web/http.h"

struct WebLimits {
    std::size_t head_bytes = std::size_t{8} * 1024;  // a request's head, at most
    std::size_t body_bytes = std::size_t{64} * 1024;
    std::size_t clients = 64;  // at once; the next is answered 503
    double head_s = 10;        // a request's head must be whole this long after it began
    double keep_alive_s = 15;  // a comment on each event stream this often
};

class WebServer {
public:
    explicit WebServer(WebSite& site, const WebLimits& limits = WebLimits());
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds `address`:`port` (0: any free port) and listens. A request is
    // answered only when its Host names the address, "localhost", one of
    // `names`, or the address the client reached. False, with `error` in
    // words, when the address cannot be served (in use, not this PC's).
    bool listen(const std::string& address, unsigned port, const std::vector<std::string>& names,
                std::string& error);
    // The port listened on: the one given, or the one chosen for 0.
    unsigned port() const;
    // Starts the server's thread.
    void start();
    // From any thread: new events are there for the streams.
    void wake();
    // From any thread but the server's: closes every connection and ends the thread.
    void stop();

    struct Impl;  // the server's insides, in web_server.cpp alone

private:
    std::unique_ptr<Impl> impl_;
};
