// The station's request routing and the values it reads from a request (a
// port in a path, `since`, Last-Event-ID), fed with any request: every
// answer is one of the statuses the API gives, its body JSON (but the page),
// nothing changes without the token, and the guards agree with their words.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "station/station_api.h"
#include "web/web_guard.h"

namespace {

const char TOKEN[] = "tok";

std::vector<std::string> fields_of(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' && fields.size() < 7) {
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(data[i]);
        }
    }
    fields.resize(7);
    return fields;
}

std::string log_file() {
    static const std::string path = [] {
        const std::string where = "/tmp/fuzz_web_route_log.csv";
        if (std::FILE* file = std::fopen(where.c_str(), "wb")) {
            std::fputs("started,ended,station,port,result\r\n"
                       "2026-12-09T05:40:12.345Z,2026-12-09T05:42:00.000Z,b3,7,completed\r\n"
                       "2026-12-09T06:40:12.345Z,2026-12-09T06:42:00.000Z,b3,7,\"lost, \"\"x\"\"\"\r\n",
                       file);
            std::fclose(file);
        }
        return where;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // method, target, authorization, content type, Last-Event-ID ("-": none), Host, body
    const std::vector<std::string> f = fields_of(data, size);
    HttpRequest request;
    request.method = f[0];
    request.target = f[1];
    const std::size_t question = f[1].find('?');
    request.path = f[1].substr(0, question);
    if (question != std::string::npos) request.query = f[1].substr(question + 1);
    request.authorization = f[2];
    request.content_type = f[3];
    request.has_last_event_id = f[4] != "-";
    if (request.has_last_event_id) request.last_event_id = f[4];
    request.body = f[6];

    StationFeed feed;
    feed.publish("{\"event\":\"opened\"}");
    bool reset_called = false;
    StationApi api(feed, StationApiSetup{log_file(), TOKEN, [&](const std::string& port) {
                                             reset_called = true;
                                             return port == "7" ? ResetAnswer::Reset : ResetAnswer::NoSuchPort;
                                         }});
    const HttpAnswer answer = api.answer(request);
    static const std::set<int> statuses = {200, 202, 400, 401, 403, 404, 405, 409, 415};
    FUZZ_CHECK(statuses.count(answer.status) == 1, "status %d", answer.status);
    const bool authorized = request.authorization == std::string("Bearer ") + TOKEN;
    FUZZ_CHECK(!reset_called || authorized, "a reset without the token");
    FUZZ_CHECK(!feed.stop_asked() || authorized, "a stop without the token");
    FUZZ_CHECK(token_matches(request.authorization, TOKEN) == authorized, "token check");
    if (!answer.stream && answer.content_type == "application/json") {
        FUZZ_CHECK(nlohmann::json::accept(answer.body), "not JSON: %s", answer.body.c_str());
    }
    std::uint64_t id = 0;
    if (parse_event_id(f[4], id)) {
        FUZZ_CHECK(f[4].find_first_not_of("0123456789") == std::string::npos && id == std::strtoull(f[4].c_str(), nullptr, 10),
                   "id %s", f[4].c_str());
    }
    std::string port;
    if (reset_path_port(request.path, port)) FUZZ_CHECK(!port.empty(), "an empty port");

    // The guards on the same text: a Host allowed names one of the names.
    (void)host_allowed(f[5], {"localhost", "127.0.0.1", "bench3"}, 8080);
    std::string address;
    unsigned listen_port = 0;
    std::string error;
    if (parse_listen(f[5], address, listen_port, error)) FUZZ_CHECK(listen_port <= 65535 && !address.empty(), "listen");
    return 0;
}
