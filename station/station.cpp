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
#include "station/station_display.h"
#include "station/station_events.h"
#include "station/station_screen.h"

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
    const bool ready = under_job ? load_job_image(job, loaded, fingerprint, refusal, options.strict) : [&] {
        loaded = load_image(hex_path, options.strict);
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
        const bool usable = job.line ? open_job_line(job, options.log_path, host_name(),
                                                    static_cast<unsigned>(options.ports.size()), numbers, line, report, state)
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
        const bool values = under_job && (!job.unique.empty() || job.identity_pattern);
        StationDisplay display(header, setup.numbers, line.get(), values, workers, events, options.bell, setup.host);
        double last_retry = monotonic_seconds();
        double last_show = -1;
        for (;;) {
            if (interrupt_requested()) stop.store(true);
            display.take_keys();
            std::string reason;
            const std::size_t waiting = log.waiting(reason);
            if (waiting > 0 && monotonic_seconds() - last_retry >= LOG_RETRY_S) {
                last_retry = monotonic_seconds();
                log.retry();
            }
            const std::string trouble = waiting == 0 ? std::string()
                                   : "log: cannot write " + options.log_path + " (" + reason + "); " +
                                         std::to_string(waiting) + " rows waiting, tried again every 2 s";
            const double every = display.terminal() ? REDRAW_MS / 1000.0 : EVENTS_MS / 1000.0;
            if (last_show < 0 || monotonic_seconds() - last_show >= every || display.keys_changed()) {
                last_show = monotonic_seconds();
                views = display.show(trouble);
            }
            bool all_finished = !options.continuous;
            for (const PortView& view : views) all_finished = all_finished && view.finished;
            if (all_finished || stop.load()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(KEYS_MS));
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
        views = display.show(std::string(), true);
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
