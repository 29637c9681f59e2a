// What the rest of the program sees of HTTP: a request as it came, and the
// answer to give. The server (web/web_server.h) speaks the protocol; a site
// (below) decides what each request gets.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string method;          // "GET", "POST", ...
    std::string target;          // "/api/log?since=2026-12-09T00:00:00.000Z"
    std::string path;            // "/api/log"
    std::string query;           // "since=2026-12-09T00:00:00.000Z"
    std::string authorization;   // the Authorization header, if any
    std::string content_type;    // the Content-Type header, if any
    std::string last_event_id;   // the Last-Event-ID header, if any
    bool has_last_event_id = false;
    std::string body;
};

struct HttpAnswer {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // more headers, such as Allow
    // An event stream instead of a body: the events after `stream_after` are
    // sent, then each new one as it comes.
    bool stream = false;
    std::uint64_t stream_after = 0;
};

// One event of a stream: its id and its data line (one line of JSON).
struct StreamEvent {
    std::uint64_t id = 0;
    std::string data;
};

// What a server serves. answer() and events_after() are called on the
// server's thread; they must not wait for the program's other work.
class WebSite {
public:
    virtual ~WebSite() = default;
    virtual HttpAnswer answer(const HttpRequest& request) = 0;
    // For a stream: the events after `last_id`, oldest first.
    virtual std::vector<StreamEvent> events_after(std::uint64_t last_id) = 0;
};

// {"error": "..."} with its status.
HttpAnswer error_answer(int status, const std::string& message);
// 405 naming the one method the path takes, in Allow too.
HttpAnswer wrong_method(const char* allowed);
// A self-contained page: its script and style inline, nothing fetched from elsewhere.
HttpAnswer page_answer(const char* html);
