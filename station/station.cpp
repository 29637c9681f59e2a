#include "station/station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "console/clock.h"
#include "console/console.h"
#include "console/figures.h"
#include "console/host_name.h"
#include "console/interrupt.h"
#include "console/screen_block.h"
#include "console/terminal.h"
#include "console/trace.h"
#include "image/image_fingerprint.h"
#include "link/serial_port.h"
#include "session/exit_status.h"
#include "session/image_load.h"
#include "session/job_setup.h"
#include "session/session_trace.h"
#include "station/port_worker.h"
#include "station/station_events.h"
#include "station/station_screen.h"
#include "station/station_stats.h"

namespace {

// A terminal's screen is redrawn at most four times a second; events are
// passed on within a tenth of a second.
constexpr int REDRAW_MS = 250;
constexpr int EVENTS_MS = 100;
constexpr double LOG_RETRY_S = 2.0;
// At the end, how long the rows still waiting may take to reach the line's database.
constexpr double LINE_GRACE_S = 5.0;

// One spelling of the device a port entry names, so that two names for one
// device are seen to be one; an identity that names no adapter now stands
// for itself.
std::string device_key(const PortName& name) {
    char device[PORT_DEVICE_MAX] = "";
    char detail[512];
    PortFault fault = PortFault::None;
    if (!find_port_device(name, device, sizeof device, fault, detail, sizeof detail)) {
        char label[PORT_DEVICE_MAX + 8];
        port_label(name, label, sizeof label);
        return label;
    }
    char canonical[PORT_DEVICE_MAX];
    canonical_device(device, canonical, sizeof canonical);
    return canonical;
}

bool find_port_named_twice(const std::vector<StationPort>& ports, std::string& error) {
    std::vector<std::string> keys;
    keys.reserve(ports.size());
    for (const StationPort& port : ports) keys.push_back(device_key(port.name));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (keys[i] != keys[k]) continue;
            error = ports[k].given == ports[i].given ? "port " + ports[i].given + " is named twice"
                                                     : ports[k].given + " and " + ports[i].given + " name one port, " +
                                                           keys[i];
            return true;
        }
    }
    return false;
}

using Workers = std::vector<std::unique_ptr<PortWorker>>;

// What the station shows: rows redrawn on a terminal (or, off one, the
// ports' events line by line), the events file, the bell for each failed box
// and the shift's figures.
class StationDisplay {
public:
    StationDisplay(const std::string& header, const NumberJournal* numbers, const LineKeeper* line, Workers& workers,
                   EventsFile& events, bool bell, std::string host)
        : header_(header),
          numbers_(numbers),
          line_(line),
          workers_(workers),
          events_(events),
          terminal_(!events.to_stdout() && block_.begin()),
          bell_(bell && terminal_),
          host_(std::move(host)),
          setup_(probe_terminal()),
          stats_(monotonic_seconds()) {
        terminal_begin(setup_, false);
    }
    ~StationDisplay() { terminal_end(); }
    bool terminal() const { return terminal_; }
    StationDisplay(const StationDisplay&) = delete;
    StationDisplay& operator=(const StationDisplay&) = delete;

    std::vector<PortView> show(const std::string& log_trouble) {
        std::vector<PortView> views;
        for (auto& worker : workers_) views.push_back(worker->monitor().view());
        // The events in the order they happened, whichever port they came from.
        std::vector<std::pair<PortEvent, std::size_t>> events;
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            for (PortEvent& event : workers_[i]->monitor().take_events()) events.emplace_back(std::move(event), i);
        }
        std::stable_sort(events.begin(), events.end(),
                         [](const auto& a, const auto& b) { return a.first.time < b.first.time; });
        int rings = 0;
        for (const auto& [event, i] : events) {
            if (event.box_end) {
                stats_.box_ended(event.outcome, event.seconds, event.when);
                if (outcome_failed(event.outcome)) ++rings;
            }
            if (events_.is_open()) events_.write(event, workers_[i]->given(), host_);
            if (!terminal_ && !events_.to_stdout()) {
                console_print("%s %s %s\r\n", event.time.c_str(), views[i].label.c_str(), event.text.c_str());
            }
        }
        const StationTotals totals = station_totals(views);
        if (terminal_) {
            ScreenFrame frame;
            frame.header.push_back(header_);
            if (numbers_ != nullptr) frame.header.push_back("numbers: " + numbers_left_text(*numbers_));
            if (line_ != nullptr) frame.header.push_back(line_->status_line());
            frame.numbers = numbers_ != nullptr;
            frame.log_trouble = log_trouble;
            block_.measure();
            frame.totals = stats_.totals_line(static_cast<int>(totals.in_progress), monotonic_seconds(),
                                              static_cast<std::size_t>(block_.columns() - 1));
            block_.draw(station_screen(frame, views, monotonic_seconds(), block_.columns(), block_.lines_that_fit()));
            for (; bell_ && rings > 0; --rings) block_.bell();  // one for each box that failed
        } else {
            if (log_trouble != shown_trouble_ && !log_trouble.empty()) console_print("%s\r\n", log_trouble.c_str());
            shown_trouble_ = log_trouble;
            database_line();
        }
        window(views);
        return views;
    }

    // The totals as the station ends, on a terminal green if every box completed, else red.
    void print_totals() {
        const StationTotals totals = station_totals(workers_views());
        const std::string line = stats_.totals_line(-1, monotonic_seconds(), 79);
        const bool all_completed = totals.failed == 0 && totals.interrupted == 0;
        if (terminal_) {
            block_.print_line(ScreenLine(line, all_completed ? Colour::Green : Colour::Red));
        } else {
            console_print("%s\r\n", line.c_str());
        }
    }

private:
    // Off a terminal: the database's state when it changes (not each count).
    void database_line() {
        if (line_ == nullptr || events_.to_stdout()) return;
        const LineStatus status = line_->status();
        const std::string state = status.reason + (status.waiting == 0 ? " none waiting" : " some waiting");
        if (state == shown_database_) return;
        const bool first = shown_database_.empty();
        shown_database_ = state;
        if (first && status.fault == DbFault::None && status.waiting == 0) return;  // said at the start
        char time[40];
        format_utc(std::chrono::system_clock::now(), time, sizeof time);
        console_print("%s %s\r\n", time, line_->status_line().c_str());
    }

    std::vector<PortView> workers_views() {
        std::vector<PortView> views;
        for (auto& worker : workers_) views.push_back(worker->monitor().view());
        return views;
    }

    // The title gives the totals; the taskbar the least advanced box sending.
    void window(const std::vector<PortView>& views) {
        const StationTotals totals = station_totals(views);
        terminal_title(("stbload station: " + totals_text(totals) + ", " + std::to_string(totals.in_progress) +
                        " in progress")
                           .c_str());
        unsigned least = 101;
        for (const PortView& view : views) {
            if (view.box_in_progress && view.phase == PortPhase::Sending && view.percent < least) least = view.percent;
        }
        const TaskbarState state = least <= 100           ? TaskbarState::Normal
                                   : totals.in_progress > 0 ? TaskbarState::Indeterminate
                                                            : TaskbarState::Clear;
        const unsigned percent = least <= 100 ? least : 0;
        if (state == shown_state_ && percent == shown_percent_) return;
        shown_state_ = state;
        shown_percent_ = percent;
        terminal_taskbar(state, percent);
    }

    std::string header_;
    const NumberJournal* numbers_;
    const LineKeeper* line_;
    Workers& workers_;
    EventsFile& events_;
    ScreenBlock block_;
    bool terminal_;
    bool bell_;
    std::string host_;
    TerminalSetup setup_;
    StationStats stats_;
    std::string shown_trouble_;
    std::string shown_database_;
    TaskbarState shown_state_ = TaskbarState::Clear;
    unsigned shown_percent_ = 0;
};

int station_status(const StationOptions& options, const std::vector<PortView>& views) {
    for (const PortView& view : views) {
        if (view.failed > 0 || view.interrupted > 0) return EXIT_FAILED;
        if (!options.continuous && view.completed == 0) return EXIT_FAILED;
    }
    return EXIT_DOWNLOAD_COMPLETED;
}

// Ends every port: each one's waits are told to end, and its thread joined.
void stop_ports(Workers& workers, std::vector<std::thread>& threads) {
    for (auto& worker : workers) worker->stop();
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

int run_station(int argc, char** argv) {
    StationOptions options;
    std::string error;
    if (!parse_station_options(argc, argv, options, error)) {
        console_print("Usage: stbload --station PORTS HEXFILE [--log FILE] [--continuous [--rearm-quiet SECONDS]]\r\n"
                      "       stbload --job JOB --station [PORTS] [--log FILE] [--continuous [--rearm-quiet SECONDS]]\r\n"
                      "       (and --events FILE, --events -, --no-bell)\r\n");
        console_note("%s", error.c_str());
        return EXIT_USAGE;
    }
    // Under a job: the job, read and checked whole, gives what the command line leaves out.
    Job job;
    const bool under_job = !options.job_path.empty();
    if (under_job) {
        ConsoleReport report;
        if (!read_job_for_use(options.job_path, job, report)) {
            console_show(report);
            return EXIT_FAILED;
        }
        if (!apply_job(job, options, error)) {
            console_print("cannot use the job %s\r\n", options.job_path.c_str());
            console_note("%s: %s", options.job_path.c_str(), error.c_str());
            return EXIT_FAILED;
        }
    }
    if (find_port_named_twice(options.ports, error)) {
        console_note("%s", error.c_str());
        return under_job ? EXIT_FAILED : EXIT_USAGE;
    }
    const char* hex_path = options.hex_path.c_str();
    console_show(start_session_trace("station on " + options.ports_text + ", " +
                                     (under_job ? "job " + options.job_path + ", " : std::string()) + "file " +
                                     options.hex_path + ", log " + options.log_path));

    // The image, once, before any port is opened, as a single download loads
    // it; under a job, only the one it is locked to.
    ImageLoad loaded;
    ImageFingerprint fingerprint{};
    ConsoleReport refusal;
    const bool ready = under_job ? load_job_image(job, loaded, fingerprint, refusal) : [&] {
        loaded = load_image(hex_path);
        refusal = describe_image_load(loaded, hex_path);
        if (loaded.ready()) fingerprint = fingerprint_image(loaded.window);
        return loaded.ready();
    }();
    console_show(refusal);
    if (!ready) {
        end_session_trace("the file was refused", EXIT_FAILED);
        return EXIT_FAILED;
    }
    char crc32[16];
    std::snprintf(crc32, sizeof crc32, "0x%08X", fingerprint.crc32);
    char sha256[65];
    format_sha256(fingerprint.sha256, sha256);
    trace_fingerprint(fingerprint);
    char placed[32];
    format_thousands(loaded.report.bytes_placed, placed, sizeof placed);
    console_print("station: %u ports%s, %sfile %s\r\n"
                  "image: %s data bytes placed, from 0x%X to 0x%X\r\n"
                  "CRC-32 %s\r\n"
                  "SHA-256 %s\r\n",
                  static_cast<unsigned>(options.ports.size()), options.continuous ? ", box after box" : "",
                  under_job ? ("job " + options.job_path + ", ").c_str() : "", hex_path, placed,
                  loaded.report.lowest_address, loaded.report.highest_address, crc32, sha256);

    // The log, before any box is answered: without it the station does not start.
    BoxLog log;
    switch (log.open(options.log_path, error)) {
    case LogOpen::Opened:
        break;
    case LogOpen::CannotOpen:
        console_print("cannot open the log %s\r\n", options.log_path.c_str());
        console_note("%s: %s", options.log_path.c_str(), error.c_str());
        end_session_trace("the log cannot be written", EXIT_FAILED);
        return EXIT_FAILED;
    case LogOpen::ForeignHeader:
        console_print("cannot open the log %s\r\n", options.log_path.c_str());
        console_note("%s: %s; nothing in it is changed: move it aside, or give another log with --log",
                     options.log_path.c_str(), error.c_str());
        end_session_trace("the log is another's", EXIT_FAILED);
        return EXIT_FAILED;
    }
    console_print("log: %s\r\n", options.log_path.c_str());

    // The job's numbers, and under the line's database its keeper, before any box is answered.
    NumberJournal numbers;
    std::unique_ptr<LineKeeper> line;
    if (under_job) {
        ConsoleReport report;
        std::string state;
        const bool usable = job.line ? open_job_line(job, options.log_path, host_name(), numbers, line, report, state)
                                     : open_job_numbers(job, options.log_path, numbers, report);
        if (!usable) {
            console_show(report);
            end_session_trace(job.line ? "the line's database cannot be used" : "the numbers cannot be given",
                              EXIT_FAILED);
            return EXIT_FAILED;
        }
        if (!state.empty()) console_print("%s\r\n", state.c_str());
        if (!job.unique.empty()) {
            console_print("numbers: %s, kept in %s\r\n", numbers_left_text(numbers).c_str(), numbers.path().c_str());
        }
    }

    // The events for the line's software, before any box is answered.
    EventsFile events;
    if (!options.events_path.empty() && !events.open(options.events_path, error)) {
        console_print("cannot open the events file %s\r\n", options.events_path.c_str());
        console_note("%s: %s", options.events_path.c_str(), error.c_str());
        end_session_trace("the events file cannot be written", EXIT_FAILED);
        return EXIT_FAILED;
    }

    catch_interrupts();
    std::atomic<bool> stop{false};
    const StationSetup setup{&options,    loaded.window, crc32, sha256, host_name(), &log, &stop,
                             under_job ? &job : nullptr, under_job && !job.unique.empty() ? &numbers : nullptr,
                             line.get()};
    if (line) line->start();
    Workers workers;
    for (const StationPort& port : options.ports) workers.push_back(std::make_unique<PortWorker>(port, setup));
    std::vector<std::thread> threads;
    threads.reserve(workers.size());
    for (auto& worker : workers) threads.emplace_back(&PortWorker::run, worker.get());

    std::vector<PortView> views;
    {
        const std::string header = (under_job ? "job " + options.job_path + ": " : std::string()) + hex_path +
                                   ", CRC-32 " + crc32 + ", log " + options.log_path;
        StationDisplay display(header, setup.numbers, line.get(), workers, events, options.bell, setup.host);
        double last_retry = monotonic_seconds();
        for (;;) {
            if (interrupt_requested()) stop.store(true);
            std::string reason;
            const std::size_t waiting = log.waiting(reason);
            if (waiting > 0 && monotonic_seconds() - last_retry >= LOG_RETRY_S) {
                last_retry = monotonic_seconds();
                log.retry();
            }
            const std::string trouble = waiting == 0 ? std::string()
                                   : "log: cannot write " + options.log_path + " (" + reason + "); " +
                                         std::to_string(waiting) + " rows waiting, tried again every 2 s";
            views = display.show(trouble);
            bool all_finished = !options.continuous;
            for (const PortView& view : views) all_finished = all_finished && view.finished;
            if (all_finished || stop.load()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(display.terminal() ? REDRAW_MS : EVENTS_MS));
        }
        stop.store(true);
        stop_ports(workers, threads);
        log.retry();
        std::string reason;
        log.waiting(reason);
        // What the line's database has not yet taken waits in the outbox for the next start.
        if (line) {
            line->stop(LINE_GRACE_S);
            const LineStatus status = line->status();
            if (status.waiting > 0) {
                console_note("%s; they wait in the outbox %s and go at this station's next start",
                             line->status_line().c_str(), line->outbox_path().c_str());
            }
        }
        views = display.show(std::string());
        // Rows the log would still not take go to stderr, not nowhere.
        for (std::string row : log.take_waiting()) {
            while (!row.empty() && (row.back() == '\n' || row.back() == '\r')) row.pop_back();
            console_note("%s: cannot write (%s); the row was: %s", options.log_path.c_str(), reason.c_str(),
                         row.c_str());
        }
        display.print_totals();
    }
    const int status = station_status(options, views);
    const std::string totals = totals_text(station_totals(views));
    end_session_trace(totals, status);
    interrupt_answered();
    return status;
}
