#include "station/station_api.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "records/csv_reader.h"
#include "records/log_columns.h"
#include "station/station_page.h"
#include "web/web_guard.h"

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

int number_at(const std::string& text, std::size_t at, std::size_t digits) {
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

HttpAnswer json_answer(const nlohmann::json& document, int status = 200) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return answer;
}

// A POST's body is JSON or nothing: a form from another site's page is refused.
bool acceptable_body(const HttpRequest& request) {
    if (request.body.empty()) return true;
    const std::string type = request.content_type.substr(0, request.content_type.find(';'));
    return type == "application/json";
}

}  // namespace

bool parse_event_id(const std::string& text, std::uint64_t& id) {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!digit(c)) return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    id = value;
    return true;
}

bool is_log_time(const std::string& text) {
    static const char shape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != sizeof shape - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == 'd' ? !digit(text[i]) : text[i] != shape[i]) return false;
    }
    const int month = number_at(text, 5, 2);
    const int day = number_at(text, 8, 2);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && number_at(text, 11, 2) < 24 &&
           number_at(text, 14, 2) < 60 && number_at(text, 17, 2) < 61;
}

bool url_decode(const std::string& text, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] != '%') {
            decoded += text[i];
        } else {
            if (i + 2 >= text.size()) return false;
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0) return false;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return true;
}

bool query_value(const std::string& query, const std::string& name, std::string& value) {
    std::size_t start = 0;
    while (start <= query.size()) {
        const std::size_t amp = query.find('&', start);
        const std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        const std::size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            return url_decode(equals == std::string::npos ? std::string() : pair.substr(equals + 1), value);
        }
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return false;
}

bool reset_path_port(const std::string& path, std::string& port) {
    static const std::string front = "/api/ports/";
    static const std::string back = "/reset";
    if (path.size() <= front.size() + back.size() || path.compare(0, front.size(), front) != 0 ||
        path.compare(path.size() - back.size(), back.size(), back) != 0) {
        return false;
    }
    const std::string encoded = path.substr(front.size(), path.size() - front.size() - back.size());
    return encoded.find('/') == std::string::npos && url_decode(encoded, port) && !port.empty();
}

StationApi::StationApi(StationFeed& feed, StationApiSetup setup) : feed_(feed), setup_(std::move(setup)) {}

HttpAnswer StationApi::answer(const HttpRequest& request) {
    const bool get = request.method == "GET";
    std::string port;
    if (request.path == "/" || request.path == "/index.html") {
        if (!get) return wrong_method("GET");
        return page_answer(station_page());
    }
    if (request.path == "/api/status") {
        if (!get) return wrong_method("GET");
        HttpAnswer status;
        status.body = feed_.status();
        return status;
    }
    if (request.path == "/api/events") return get ? events(request) : wrong_method("GET");
    if (request.path == "/api/log") return get ? log_rows(request) : wrong_method("GET");
    if (request.path == "/api/stop" || reset_path_port(request.path, port)) {
        return request.method == "POST" ? change(request) : wrong_method("POST");
    }
    return error_answer(404, "no such path: " + request.path);
}

HttpAnswer StationApi::events(const HttpRequest& request) const {
    HttpAnswer stream;
    stream.stream = true;
    stream.stream_after = feed_.last_id();  // a new client: from its arrival on
    if (request.has_last_event_id && !parse_event_id(request.last_event_id, stream.stream_after)) {
        return error_answer(400, "Last-Event-ID takes the number of an event, not \"" + request.last_event_id + "\"");
    }
    return stream;
}

HttpAnswer StationApi::log_rows(const HttpRequest& request) const {
    std::string since;
    if (query_value(request.query, "since", since) && !is_log_time(since)) {
        return error_answer(400, "since takes a time as the log writes it, such as 2026-12-09T05:40:12.345Z");
    }
    nlohmann::json rows = nlohmann::json::array();
    CsvReader log;
    if (!log.open(setup_.log_path)) return json_answer(rows);
    std::vector<std::string> names;
    std::vector<std::string> fields;
    std::size_t ended = LOG_COLUMN_COUNT;
    for (CsvRow got = log.next(fields); got != CsvRow::End && rows.size() < LOG_ROWS_AT_A_TIME;
         got = log.next(fields)) {
        if (got != CsvRow::Row) continue;
        if (names.empty() || fields == names) {  // the header, and a header again after a restart
            names = fields;
            for (ended = 0; ended < names.size() && names[ended] != "ended"; ++ended) {
            }
            continue;
        }
        if (ended >= fields.size() || fields[ended] < since) continue;
        nlohmann::json row = nlohmann::json::object();
        for (std::size_t c = 0; c < names.size() && c < fields.size(); ++c) row[names[c]] = fields[c];
        rows.push_back(std::move(row));
    }
    return json_answer(rows);
}

HttpAnswer StationApi::change(const HttpRequest& request) {
    if (setup_.token.empty()) {
        return error_answer(403, "this station serves without STBLOAD_SERVE_TOKEN: it can only be read");
    }
    if (request.authorization.empty()) {
        HttpAnswer unauthorized = error_answer(401, "this request needs Authorization: Bearer TOKEN");
        unauthorized.headers.emplace_back("WWW-Authenticate", "Bearer");
        return unauthorized;
    }
    if (!token_matches(request.authorization, setup_.token)) return error_answer(403, "wrong token");
    if (!acceptable_body(request)) return error_answer(415, "a POST's body is JSON (Content-Type: application/json) or none");
    if (request.path == "/api/stop") {
        feed_.ask_stop();
        return json_answer({{"stopping", true}}, 202);
    }
    std::string port;
    reset_path_port(request.path, port);
    switch (setup_.reset ? setup_.reset(port) : ResetAnswer::NoSuchPort) {
    case ResetAnswer::Reset:
        return json_answer({{"port", port}, {"reset", true}});
    case ResetAnswer::NothingToReset:
        return error_answer(409, port + ": no box in progress, nothing to reset");
    case ResetAnswer::NoSuchPort:
        break;
    }
    return error_answer(404, "no port " + port + " in this station");
}
