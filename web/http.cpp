#include "web/http.h"

#include <nlohmann/json.hpp>

HttpAnswer error_answer(int status, const std::string& message) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return answer;
}
