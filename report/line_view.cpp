#include "report/line_view.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console/clock.h"
#include "console/console.h"
#include "console/exit_status.h"
#include "console/host_name.h"
#include "console/interrupt.h"
#include "db/line_database.h"
#include "job/job.h"
#include "line/keeper.h"
#include "records/log_columns.h"
#include "report/line_figures.h"
#include "report/line_page.h"
#include "report/line_view_state.h"
#include "web/web_guard.h"
#include "web/web_server.h"

namespace {

constexpr double REFRESH_S = 5;
constexpr char USAGE[] = "Usage: stbload --job JOB --line-view --serve [ADDR:]PORT [--serve-name NAME]...\r\n";

struct LineViewOptions {
    std::string job;
    std::string serve;
    std::vector<std::string> names;
};

bool parse_line_view_options(int argc, char** argv, LineViewOptions& options, std::string& error) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        const bool valued = std::strcmp(arg, "--job") == 0 || std::strcmp(arg, "--serve") == 0 ||
                            std::strcmp(arg, "--serve-name") == 0;
        if (!valued) {
            error = arg[0] == '-' ? std::string("--line-view takes no ") + arg
                                  : std::string("--line-view takes no ") + arg + ": it reads the line's database";
            return false;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0' || argv[i + 1][0] == '-') {
            error = std::string(arg) + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        if (std::strcmp(arg, "--serve-name") == 0) {
            options.names.emplace_back(value);
        } else if (!(std::strcmp(arg, "--job") == 0 ? options.job : options.serve).empty()) {
            error = std::string(arg) + " given twice";
            return false;
        } else {
            (std::strcmp(arg, "--job") == 0 ? options.job : options.serve) = value;
        }
    }
    if (options.job.empty()) error = "--line-view needs --job JOB, a job with [line]";
    else if (options.serve.empty()) error = "--line-view needs --serve [ADDR:]PORT, where its page is served";
    return error.empty();
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// GET / and GET /api/line; the rest is refused.
class LineViewSite final : public WebSite {
public:
    explicit LineViewSite(LineViewState& state) : state_(state) {}
    HttpAnswer answer(const HttpRequest& request) override {
        const bool page = request.path == "/" || request.path == "/index.html";
        if (!page && request.path != "/api/line") return error_answer(404, "no such path: " + request.path);
        if (request.method != "GET") return wrong_method("GET");
        if (page) return page_answer(line_page());
        HttpAnswer line;
        line.body = state_.document();
        return line;
    }
    std::vector<StreamEvent> events_after(std::uint64_t /*last_id*/) override { return {}; }

private:
    LineViewState& state_;
};

// How the database answers, as the page and standard error say it.
struct DatabaseState {
    std::string state = "connecting";  // "reached", "away", "refused"
    std::string reason;
    std::string since;
};

// Reads the line every REFRESH_S until stopped; owns its connection.
class Refresher {
public:
    Refresher(const Job& job, LineViewState& state) : job_(job), state_(state) {}

    void run() {
        keep_interrupts_off_this_thread();
        std::string secret;
        LineDatabase database(line_connection(*job_.line, secret), secret, job_.line->pool, box_table_columns());
        do {
            refresh(database);
        } while (state_.pause(REFRESH_S));
        database.disconnect();
    }

    // What the page shows before the first reading.
    std::string document() const {
        nlohmann::json document = last_;
        document["job"] = {{"file", job_.path}, {"pool", job_.line->pool}};
        document["database"] = {{"state", database_.state},
                                {"reason", database_.reason.empty() ? nlohmann::json(nullptr)
                                                                    : nlohmann::json(database_.reason)},
                                {"since", database_.since.empty() ? nlohmann::json(nullptr)
                                                                  : nlohmann::json(database_.since)}};
        document["refreshed"] = refreshed_.empty() ? nlohmann::json(nullptr) : nlohmann::json(refreshed_);
        return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }

private:
    void refresh(LineDatabase& database) {
        const std::int64_t now = now_ms();
        LineReading reading;
        DbError error;
        if (database.read_line(line_window(now), reading, error)) {
            last_ = line_document(job_, reading, now);
            refreshed_ = utc_now();
            if (database_.state != "reached") console_note("database: reached; the line view refreshes every 5 s");
            database_ = DatabaseState{"reached", "", refreshed_};
        } else {
            const std::string state = error.fault == DbFault::Unreachable ? "away" : "refused";
            const std::string reason = brief_db_reason(error);
            if (state != database_.state || reason != database_.reason) {
                console_note("database: %s (%s): %s; trying again every 5 s", state.c_str(), reason.c_str(),
                             error.message.c_str());
                database_ = DatabaseState{state, reason, utc_now()};
            }
        }
        state_.publish(document());
    }

    const Job& job_;
    LineViewState& state_;
    nlohmann::json last_ = {{"stations", nlohmann::json::array()},
                            {"pool", nlohmann::json::object()},
                            {"weak_ports", nlohmann::json::array()}};
    std::string refreshed_;
    DatabaseState database_;
};

}  // namespace

int run_line_view(int argc, char** argv) {
    LineViewOptions options;
    std::string error;
    if (!parse_line_view_options(argc, argv, options, error)) {
        console_print("%s", USAGE);
        console_note("%s", error.c_str());
        return EXIT_USAGE;
    }
    std::string address;
    unsigned port = 0;
    if (!parse_listen(options.serve, address, port, error)) {
        console_print("%s", USAGE);
        console_note("--serve %s", error.c_str());
        return EXIT_USAGE;
    }
    Job job;
    std::vector<std::string> problems;
    if (!read_job(options.job, job, problems)) {
        console_print("cannot use the job %s\r\n", options.job.c_str());
        for (const std::string& problem : problems) console_note("%s: %s", options.job.c_str(), problem.c_str());
        return EXIT_FAILED;
    }
    if (!job.line) {
        console_print("job %s has no [line]: the line view reads the line's database\r\n", options.job.c_str());
        return EXIT_FAILED;
    }
    LineViewState state;
    Refresher refresher(job, state);
    state.publish(refresher.document());
    LineViewSite site(state);
    WebServer server(site);
    std::vector<std::string> names = options.names;
    names.push_back(host_name());
    if (!server.listen(address, port, names, error)) {
        console_print("cannot serve on %s\r\n", options.serve.c_str());
        console_note("%s", error.c_str());
        return EXIT_FAILED;
    }
    console_print("line view: job %s, pool %s, database %s\r\n", job.path.c_str(), job.line->pool.c_str(),
                  without_password(job.line->database).c_str());
    console_print("serving %s\r\n", served_url(address, server.port()).c_str());
    catch_interrupts();
    std::thread reading([&refresher] { refresher.run(); });
    server.start();
    while (!interrupt_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state.stop();
    reading.join();
    server.stop();
    interrupt_answered();
    return EXIT_DOWNLOAD_COMPLETED;
}
