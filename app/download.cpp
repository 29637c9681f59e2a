#include "app/download.h"

#include <cmath>
#include <memory>
#include <string>

#include "app/exchange_console.h"
#include "app/progress_display.h"
#include "console/console.h"
#include "console/figures.h"
#include "console/host_name.h"
#include "console/trace.h"
#include "image/image_fingerprint.h"
#include "link/port_list.h"
#include "link/transfer_progress.h"
#include "link/update_exchange.h"
#include "records/box_log.h"
#include "records/log_columns.h"
#include "image/image_load.h"
#include "session/setup.h"
#include "session/session.h"
#include "session/session_trace.h"

namespace {

// How long a box's row may take to reach the line's database before the download ends.
constexpr double LINE_GRACE_S = 10.0;

// After a completed download, for the person at the terminal: how long the
// transfer took, how near the line's rate it came, and which image it was.
void note_summary(double seconds, std::uint32_t crc32) {
    char bytes[32];
    format_thousands(TRANSFER_LENGTH, bytes, sizeof bytes);
    const double rate = seconds > 0 ? static_cast<double>(STREAM_BYTES) / seconds : 0.0;
    char per_second[32];
    format_thousands(static_cast<unsigned long long>(std::llround(rate)), per_second, sizeof per_second);
    console_note("%s bytes sent in %.1f s (%s bytes/s on the wire, %.0f%% of the line); image CRC-32 %s", bytes,
                 seconds, per_second, 100.0 * rate / LINK_BYTES_PER_SECOND, crc32_text(crc32).c_str());
}

// Opens the port, saying so on the console when it cannot be.
bool open_port(Session& session, const std::string& label) {
    switch (session.open()) {
    case PortOpen::Opened:
        return true;
    case PortOpen::CannotOpen:
        console_print("cannot open %s\r\n", label.c_str());
        console_note("%s", session.problem_note().c_str());
        return false;
    case PortOpen::SettingsRefused:
        console_print("cannot configure %s\r\n", label.c_str());
        console_note("%s", session.problem_note().c_str());
        return false;
    }
    return false;
}

// The box, from "PC ready to download" to its end, as the console shows it.
BoxResult download_box(Session& session, const std::string& label, ProgressDisplay& progress,
                       const std::string& boot_expect, std::uint32_t crc32) {
    console_print("PC ready to download\r\n");
    progress.waiting_for_box();
    ExchangeConsole console(progress, boot_expect);
    BoxResult box = session.run_box(console);
    // Lost before the box spoke, or while it was under way: the same to the operator.
    if (box.outcome == BoxOutcome::Lost || box.outcome == BoxOutcome::NotStarted) {
        console_print("\r\nlost connection to %s\r\n", label.c_str());
        console_note("%s", session.problem_note().c_str());
    } else if (box.outcome == BoxOutcome::Completed && progress.on_terminal()) {
        note_summary(console.transfer_seconds(), crc32);
    }
    return box;
}

// The steps of one download in their order: file, port, image, exchange.
int download(const PortName& name, const std::string& label, const char* hex_path, const DownloadOptions& options) {
    ImageLoader image;
    if (!image.open(hex_path)) {
        console_show(describe_image_load(image.load(), hex_path));
        return EXIT_FAILED;
    }
    Session session(name, label, ImageWindow{});
    session.set_limits(SessionLimits{options.stall_s, options.flash_write_max_s});
    if (!open_port(session, label)) {
        image.close();  // the file closes before the port does
        session.close();
        return EXIT_FAILED;
    }
    const ImageLoad loaded = image.load(options.strict);
    console_show(describe_image_load(loaded, hex_path));
    if (!loaded.ready()) return EXIT_FAILED;
    session.take_image(loaded.window);

    ProgressDisplay progress(label.c_str());
    // Worked out once, outside the transfer, and only where someone reads it.
    ImageFingerprint fingerprint{};
    if (tracing() || progress.on_terminal()) {
        fingerprint = fingerprint_image(loaded.window);
        trace_fingerprint(fingerprint);
    }
    const BoxResult box = download_box(session, label, progress, std::string(), fingerprint.crc32);
    return box.outcome == BoxOutcome::Completed ? EXIT_DOWNLOAD_COMPLETED : EXIT_FAILED;
}

// Shows a problem that refuses the run, and keeps its message as the reason.
int refused(const Problem& problem, std::string& failure) {
    console_show(problem);
    failure = problem.message.empty() && !problem.notes.empty() ? problem.notes.front() : problem.message_text();
    return EXIT_FAILED;
}

// Why the box failed, in the words of its end.
std::string box_failure(const BoxResult& box, const std::string& label) {
    switch (box.outcome) {
    case BoxOutcome::NotStarted:
    case BoxOutcome::Lost:
        return "lost connection to " + label + (box.reason.empty() ? std::string() : " (" + box.reason + ")");
    case BoxOutcome::NumbersUsedUp:
    case BoxOutcome::NoNumbers:
        return "no numbers for the box: " + box.reason;
    default:
        return std::string(outcome_word(box.outcome)) + (box.reason.empty() ? std::string() : ": " + box.reason);
    }
}

// The job, its image, its log and its numbers made ready before the port is
// touched, as a station makes them.
bool prepare_job_run(const std::string& job_path, const DownloadOptions& options, RunSetup& run,
                     std::string& failure) {
    Problem problem;
    if (!setup_job(job_path, run, problem) || !setup_image(run, std::string(), options.strict, problem)) {
        refused(problem, failure);
        return false;
    }
    console_show(problem);  // the loader's warnings
    trace_fingerprint(run.fingerprint);
    problem = Problem();
    if (!setup_log(run, run.job.log_path(), "name another log in the job's [station] log", problem) ||
        !setup_operator(run, options.operator_name, options.work_order, problem) ||
        !setup_numbers(run, host_name(), 1, problem)) {
        refused(problem, failure);
        return false;
    }
    if (!run.line_state.empty()) console_note("%s", run.line_state.c_str());
    return true;
}

// What the box showed of its boot, and its numbers' refusal, as a single download says them.
void note_job_box(const Job& job, const BoxResult& box) {
    if (box.outcome == BoxOutcome::NumbersUsedUp || box.outcome == BoxOutcome::NoNumbers) {
        console_print("no numbers for the box: %s\r\n", box.reason.c_str());
    }
    if (job.boot_expect && !box.boot.empty()) {
        console_note("the box showed \"%s\"", box.boot.c_str());
    } else if (box.outcome == BoxOutcome::NoBoot) {
        console_note("the box did not show \"%s\" within %.0f s", job.boot_expect->c_str(), job.boot_within_s);
    }
}

// D2: the box's row is on the disk before it goes on to the line's database.
void log_job_box(RunSetup& run, const BoxResult& box, const std::string& given, const Session& session) {
    const BoxRecord record =
        box_record(run, box, host_name(), given, session.device(), usb_identity_of_device(session.device()));
    if (run.log.write(record)) return;
    std::string reason;
    run.log.waiting(reason);
    std::string row = csv_row(record);
    row.resize(row.size() - 2);  // its line end
    console_note("%s: cannot write (%s); the row was: %s", run.log_path.c_str(), reason.c_str(), row.c_str());
}

// The same under a job, the box's row in the job's log. `failure` gets why the run failed.
int job_download(const std::string& job_path, const PortName& name, const std::string& label,
                 const std::string& given, const DownloadOptions& options, std::string& failure) {
    RunSetup run;
    if (!prepare_job_run(job_path, options, run, failure)) return EXIT_FAILED;
    if (run.line) run.line->start();
    const SessionJob context{&run.job, run.numbers, host_name(), given, run.line.get()};
    Session session(name, label, run.loaded.window, &context);
    session.set_limits(SessionLimits{options.stall_s, options.flash_write_max_s});
    if (!open_port(session, label)) {
        failure = "cannot open " + label + ": " + session.problem();
        session.close();
        return EXIT_FAILED;
    }
    ProgressDisplay progress(label.c_str());
    const BoxResult box =
        download_box(session, label, progress, run.job.boot_expect.value_or(""), run.fingerprint.crc32);
    note_job_box(run.job, box);
    progress.finished(box.outcome == BoxOutcome::Completed);
    if (box.outcome != BoxOutcome::NotStarted) log_job_box(run, box, given, session);
    // The row goes on to the line's database, or waits in the outbox for the next run.
    finish_line(run, LINE_GRACE_S, "it waits in the outbox", "and goes with the next download or station under this log");
    if (box.outcome == BoxOutcome::Completed) return EXIT_DOWNLOAD_COMPLETED;
    failure = box_failure(box, label);
    return EXIT_FAILED;
}

std::string label_of(const PortName& port) {
    char label[PORT_DEVICE_MAX + 8];
    port_label(port, label, sizeof label);
    return label;
}

}  // namespace

int run_download(const PortName& port, const char* hex_path, const DownloadOptions& options) {
    const std::string label = label_of(port);
    console_show(start_session_trace(label + ", file " + hex_path));
    const int status = download(port, label, hex_path, options);
    end_session_trace(status == EXIT_DOWNLOAD_COMPLETED ? "download completed" : "failed", status);
    return status;
}

int run_job_download(const std::string& job_path, const PortName& port, const std::string& given,
                     const DownloadOptions& options) {
    const std::string label = label_of(port);
    console_show(start_session_trace(label + ", job " + job_path));
    std::string failure;
    const int status = job_download(job_path, port, label, given, options, failure);
    // Under a job the last line says the box's result: "Download completed" may stand above a box that failed after it.
    if (status != EXIT_DOWNLOAD_COMPLETED) console_failed(failure.empty() ? "the download did not complete" : failure);
    end_session_trace(status == EXIT_DOWNLOAD_COMPLETED ? "download completed" : "failed", status);
    return status;
}
