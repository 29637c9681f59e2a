#include "web/http.h"

#include <nlohmann/json.hpp>

HttpAnswer error_answer(int status, const std::string& message) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return answer;
}

HttpAnswer wrong_method(const char* allowed) {
    HttpAnswer answer = error_answer(405, std::string("this path takes ") + allowed);
    answer.headers.emplace_back("Allow", allowed);
    return answer;
}

HttpAnswer page_answer(const char* html) {
    HttpAnswer page;
    page.content_type = "text/html; charset=utf-8";
    page.body = html;
    // Nothing from elsewhere, and no other site's frame around it.
    page.headers.emplace_back("Content-Security-Policy",
                              "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                              "connect-src 'self'; frame-ancestors 'none'");
    return page;
}
