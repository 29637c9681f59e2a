#include "station/station.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "console/clock.h"
#include "console/console.h"
#include "console/environment.h"
#include "console/exit_status.h"
#include "console/figures.h"
#include "console/host_name.h"
#include "console/interrupt.h"
#include "console/key_lines.h"
#include "console/trace.h"
#include "session/setup.h"
#include "session/session_trace.h"
#include "station/port_worker.h"
#include "station/station_display.h"
#include "station/station_events.h"
#include "station/station_screen.h"
#include "station/station_web.h"

namespace {

// A terminal's screen is redrawn at most four times a second; events are
// passed on within a tenth of a second.
constexpr int REDRAW_MS = 250;
constexpr int EVENTS_MS = 100;
// Keys are looked at this often, and what is typed is shown at once.
constexpr int KEYS_MS = 50;
constexpr double LOG_RETRY_S = 2.0;
// At the end, how long the rows still waiting may take to reach the line's database.
constexpr double LINE_GRACE_S = 5.0;
// At the end, how long the web's clients have for the station's last events.
constexpr int WEB_LAST_EVENTS_MS = 300;

int station_status(const StationOptions& options, const std::vector<PortView>& views) {
    for (const PortView& view : views) {
        if (view.failed > 0 || view.interrupted > 0) return EXIT_FAILED;
        if (!options.continuous && view.completed == 0) return EXIT_FAILED;
    }
    return EXIT_DOWNLOAD_COMPLETED;
}

// The command line and, under a job, the job, read and checked whole, which
// gives what the command line leaves out. Returns the exit status of a
// station that cannot start, or -1.
int read_command(int argc, char** argv, StationOptions& options, RunSetup& run) {
    std::string error;
    if (!parse_station_options(argc, argv, options, error)) {
        console_print("Usage: stbload --station PORTS HEXFILE [--log FILE] [--continuous [--rearm-quiet SECONDS]]\r\n"
                      "       stbload --job JOB --station [PORTS] [--log FILE] [--continuous [--rearm-quiet SECONDS]]\r\n"
                      "       (and --events FILE, --events -, --no-bell, --serve [ADDR:]PORT, --serve-name NAME,\r\n"
                      "       --name NAME, --operator NAME, --work-order TEXT)\r\n");
        console_note("%s", error.c_str());
        return EXIT_USAGE;
    }
    if (!options.job_path.empty()) {
        Problem problem;
        if (!setup_job(options.job_path, run, problem)) {
            console_show(problem);
            return EXIT_FAILED;
        }
        if (!apply_job(run.job, options, error)) {
            console_print("cannot use the job %s\r\n", options.job_path.c_str());
            console_note("%s: %s", options.job_path.c_str(), error.c_str());
            return EXIT_FAILED;
        }
    }
    if (find_port_named_twice(options.ports, error)) {
        console_note("%s", error.c_str());
        return run.under_job ? EXIT_FAILED : EXIT_USAGE;
    }
    return -1;
}

// The image, once, as a single download loads it (under a job, only the one
// it is locked to), and what it holds.
bool load_the_image(const StationOptions& options, RunSetup& run, TraceScope& trace) {
    Problem problem;
    const bool ready = setup_image(run, options.hex_path, options.strict, problem);
    console_show(problem);
    if (!ready) {
        trace.outcome("the file was refused", EXIT_FAILED);
        return false;
    }
    trace_fingerprint(run.fingerprint);
    char placed[32];
    format_thousands(run.loaded.report.bytes_placed, placed, sizeof placed);
    console_print("station: %u ports%s, %sfile %s\r\n"
                  "image: %s data bytes placed, from 0x%X to 0x%X\r\n"
                  "CRC-32 %s\r\n"
                  "SHA-256 %s\r\n",
                  static_cast<unsigned>(options.ports.size()), options.continuous ? ", box after box" : "",
                  run.under_job ? ("job " + options.job_path + ", ").c_str() : "", options.hex_path.c_str(), placed,
                  run.loaded.report.lowest_address, run.loaded.report.highest_address, run.crc32.c_str(),
                  run.sha256.c_str());
    return true;
}

// The web server's address, bound before any port opens: one in use is refused now.
bool serve(const StationOptions& options, StationWeb& web, TraceScope& trace) {
    if (!web.asked()) return true;
    std::vector<std::string> names = options.serve_names;
    names.push_back(host_name());
    names.push_back(options.name);
    std::string error;
    if (!web.listen(names, error)) {
        console_print("cannot serve on %s\r\n", options.serve.c_str());
        console_note("%s", error.c_str());
        trace.outcome("the web server cannot listen", EXIT_FAILED);
        return false;
    }
    console_print("serving %s\r\n", web.url().c_str());
    ::trace("serving %s", web.url().c_str());
    return true;
}

// Under a job that requires an operator, with none given: asked for at the
// terminal, if there is one. Empty when not asked or not answered.
std::string ask_operator(const RunSetup& run) {
    if (!run.under_job || !run.job.operator_required || environment_value("STBLOAD_OPERATOR") != nullptr) {
        return std::string();
    }
    KeyLines keys;
    if (!keys.begin()) return std::string();
    console_print("operator (the job asks who flashes; a name and Enter): ");
    std::string line;
    std::string shown;
    while (!interrupt_requested()) {
        if (keys.poll(line)) break;
        if (keys.typed() != shown) {
            shown = keys.typed();
            console_print("\r\x1b[Koperator (the job asks who flashes; a name and Enter): %s", shown.c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(KEYS_MS));
    }
    keys.end();
    console_print("\r\n");
    std::string name;
    return clean_operator_name(line, name) ? name : std::string();
}

// Everything before any box is answered: the image, the log, under a job
// its numbers and the line's database, and the events file.
bool prepare(const StationOptions& options, RunSetup& run, EventsFile& events, StationWeb& web, TraceScope& trace) {
    if (!load_the_image(options, run, trace)) return false;
    Problem problem;
    if (!setup_log(run, options.log_path, "give another log with --log", problem)) {
        console_show(problem);
        trace.outcome("the log cannot be written", EXIT_FAILED);
        return false;
    }
    console_print("log: %s\r\n", options.log_path.c_str());
    const std::string who = options.operator_name.empty() ? ask_operator(run) : options.operator_name;
    if (!setup_operator(run, who, options.work_order, problem)) {
        console_show(problem);
        trace.outcome("no operator", EXIT_FAILED);
        return false;
    }
    if (!run.on_duty.operator_name().empty() || !run.on_duty.work_order().empty()) {
        console_print("operator: %s%s\r\n",
                      run.on_duty.operator_name().empty() ? "none" : run.on_duty.operator_name().c_str(),
                      run.on_duty.work_order().empty() ? "" : (", work order " + run.on_duty.work_order()).c_str());
    }
    if (run.under_job && !setup_numbers(run, options.name, static_cast<unsigned>(options.ports.size()), problem)) {
        console_show(problem);
        trace.outcome(run.job.line ? "the line's database cannot be used" : "the numbers cannot be given", EXIT_FAILED);
        return false;
    }
    if (!run.line_state.empty()) console_print("%s\r\n", run.line_state.c_str());
    if (run.numbers != nullptr) {
        console_print("numbers: %s, kept in %s\r\n", run.numbers->left_text().c_str(), run.numbers->path().c_str());
    }
    std::string error;
    if (!options.events_path.empty() && !events.open(options.events_path, error)) {
        console_print("cannot open the events file %s\r\n", options.events_path.c_str());
        console_note("%s: %s", options.events_path.c_str(), error.c_str());
        trace.outcome("the events file cannot be written", EXIT_FAILED);
        return false;
    }
    return serve(options, web, trace);
}

// The ports at work, each on a thread of its own.
class Ports {
public:
    Ports(const StationOptions& options, const StationSetup& setup) {
        for (const StationPort& port : options.ports) workers_.push_back(std::make_unique<PortWorker>(port, setup));
        threads_.reserve(workers_.size());
        for (auto& worker : workers_) threads_.emplace_back(&PortWorker::run, worker.get());
    }
    ~Ports() { stop(); }
    Ports(const Ports&) = delete;
    Ports& operator=(const Ports&) = delete;

    Workers& workers() { return workers_; }
    // Ends every port: each one's waits are told to end, and its thread joined.
    void stop() {
        for (auto& worker : workers_) worker->stop();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    Workers workers_;
    std::vector<std::thread> threads_;
};

// "log: cannot write ... rows waiting", or empty; tries the rows that wait again every 2 s.
std::string log_trouble(const StationOptions& options, BoxLog& log, double& last_retry) {
    std::string reason;
    const std::size_t waiting = log.waiting(reason);
    if (waiting > 0 && monotonic_seconds() - last_retry >= LOG_RETRY_S) {
        last_retry = monotonic_seconds();
        log.retry();
    }
    if (waiting == 0) return std::string();
    return "log: cannot write " + options.log_path + " (" + reason + "); " + std::to_string(waiting) +
           " rows waiting, tried again every 2 s";
}

// Shows the ports until every one has finished its box (one-box mode) or the station is to stop.
std::vector<PortView> watch(const StationOptions& options, RunSetup& run, StationDisplay& display,
                            StationWeb& web, std::atomic<bool>& stop) {
    std::vector<PortView> views;
    double last_retry = monotonic_seconds();
    double last_show = -1;
    for (;;) {
        if (interrupt_requested() || web.feed().stop_asked()) stop.store(true);
        display.take_keys();
        display.publish();  // the web's clients hear of an event within a look
        const std::string trouble = log_trouble(options, run.log, last_retry);
        const double every = display.terminal() ? REDRAW_MS / 1000.0 : EVENTS_MS / 1000.0;
        if (last_show < 0 || monotonic_seconds() - last_show >= every || display.keys_changed()) {
            last_show = monotonic_seconds();
            views = display.show(trouble);
        }
        bool all_finished = !options.continuous;
        for (const PortView& view : views) all_finished = all_finished && view.finished;
        if (all_finished || stop.load()) return views;
        std::this_thread::sleep_for(std::chrono::milliseconds(KEYS_MS));
    }
}

// Rows the log would still not take go to stderr, not nowhere.
void note_rows_left(const StationOptions& options, BoxLog& log) {
    std::string reason;
    log.waiting(reason);
    for (std::string row : log.take_waiting()) {
        while (!row.empty() && (row.back() == '\n' || row.back() == '\r')) row.pop_back();
        console_note("%s: cannot write (%s); the row was: %s", options.log_path.c_str(), reason.c_str(), row.c_str());
    }
}

// The station at work, from its first port to its totals.
std::vector<PortView> run_ports(const StationOptions& options, RunSetup& run, EventsFile& events, StationWeb& web) {
    catch_interrupts();
    std::atomic<bool> stop{false};
    const StationSetup setup{&options,    run.loaded.window, run.crc32, run.sha256, options.name, &run,
                             &stop,       run.line.get()};
    if (run.line) run.line->start();
    const std::string started = utc_now();
    Ports ports(options, setup);
    const std::string header = (run.under_job ? "job " + options.job_path + ": " : std::string()) +
                               options.hex_path + ", CRC-32 " + run.crc32 + ", log " + options.log_path;
    const bool values = run.under_job && (!run.job.unique.empty() || run.job.identity_pattern);
    StationDisplay display(header, run.numbers, run.line.get(), values, ports.workers(), events, options.bell,
                           setup.host);
    display.show_on_duty(run.on_duty);
    if (web.asked()) {
        display.serve_to(web, StationFacts{options.name, options.job_path, options.hex_path, run.crc32, run.sha256,
                                           started});
        display.publish();  // a whole status before the first client can ask for it
        web.start(ports.workers());
    }
    watch(options, run, display, web, stop);
    stop.store(true);
    ports.stop();
    run.log.retry();
    // What the line's database has not yet taken waits in the outbox for the next start.
    finish_line(run, LINE_GRACE_S, "they wait in the outbox", "and go at this station's next start");
    std::vector<PortView> views = display.show(std::string(), true);
    note_rows_left(options, run.log);
    display.print_totals();
    // The last events reach the web's clients before the server, and the ports it resets, go.
    if (web.asked()) std::this_thread::sleep_for(std::chrono::milliseconds(WEB_LAST_EVENTS_MS));
    web.stop();
    return views;
}

}  // namespace

int run_station(int argc, char** argv) {
    StationOptions options;
    RunSetup run;
    const int refused = read_command(argc, argv, options, run);
    if (refused >= 0) return refused;
    if (options.name.empty()) options.name = host_name();
    const char* token = environment_value("STBLOAD_SERVE_TOKEN");
    StationWeb web(options, token != nullptr ? token : "");
    std::string refusal;
    if (web.asked() && !web.check(refusal)) {
        console_note("%s", refusal.c_str());
        return EXIT_USAGE;
    }
    TraceScope station_trace("station on " + options.ports_text + ", " +
                             (run.under_job ? "job " + options.job_path + ", " : std::string()) + "file " +
                             options.hex_path + ", log " + options.log_path);
    EventsFile events;
    if (!prepare(options, run, events, web, station_trace)) return EXIT_FAILED;
    const std::vector<PortView> views = run_ports(options, run, events, web);
    const int status = station_trace.outcome(totals_text(station_totals(views)), station_status(options, views));
    station_trace.end();
    interrupt_answered();
    return status;
}
