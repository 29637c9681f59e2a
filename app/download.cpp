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
#include "session/box_log.h"
#include "session/image_load.h"
#include "session/job_setup.h"
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
    console_note("%s bytes sent in %.1f s (%s bytes/s on the wire, %.0f%% of the line); image CRC-32 0x%08X", bytes,
                 seconds, per_second, 100.0 * rate / LINE_BYTES_PER_SECOND, crc32);
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

// A message for standard output as the one line of a verdict: "cannot open
// file F\r\ncheck you specified file\r\n" is "cannot open file F; check you specified file".
std::string one_line(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.replace(at, 2, "; ");
    }
    return text;
}

// Shows a report that refuses the run, and keeps its message as the reason.
int refused(const ConsoleReport& report, std::string& failure) {
    console_show(report);
    failure = one_line(report.message.empty() && !report.notes.empty() ? report.notes.front() : report.message);
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

// The same under a job: the job, its image and its numbers are made ready
// before the port is touched, and the box gets its row in the job's log.
// `failure` gets why the run failed.
int job_download(const std::string& job_path, const PortName& name, const std::string& label,
                 const std::string& given, const DownloadOptions& options, std::string& failure) {
    Job job;
    ConsoleReport report;
    if (!read_job_for_use(job_path, job, report)) return refused(report, failure);
    ImageLoad loaded;
    ImageFingerprint fingerprint{};
    const bool locked = load_job_image(job, loaded, fingerprint, report, options.strict);
    if (!locked) return refused(report, failure);
    console_show(report);
    trace_fingerprint(fingerprint);
    const std::string log_path = job_log_path(job);
    BoxLog log;
    std::string error;
    const LogOpen opened = log.open(log_path, error);
    if (opened != LogOpen::Opened) {
        console_print("cannot open the log %s\r\n", log_path.c_str());
        console_note("%s: %s%s", log_path.c_str(), error.c_str(),
                     opened == LogOpen::ForeignHeader ? "; nothing in it is changed: move it aside, or name another "
                                                        "log in the job's [station] log"
                                                      : "");
        failure = "cannot open the log " + log_path + ": " + error;
        return EXIT_FAILED;
    }
    NumberJournal numbers;
    std::unique_ptr<LineKeeper> line;
    report = ConsoleReport();
    std::string state;
    if (job.line ? !open_job_line(job, log_path, host_name(), 1, numbers, line, report, state)
                 : !open_job_numbers(job, log_path, numbers, report)) {
        return refused(report, failure);
    }
    if (!state.empty()) console_note("%s", state.c_str());
    if (line) line->start();

    const SessionJob context{&job, job.unique.empty() ? nullptr : &numbers, host_name(), given, line.get()};
    Session session(name, label, loaded.window, &context);
    session.set_limits(SessionLimits{options.stall_s, options.flash_write_max_s});
    if (!open_port(session, label)) {
        failure = "cannot open " + label + ": " + session.problem();
        session.close();
        return EXIT_FAILED;
    }
    ProgressDisplay progress(label.c_str());
    const BoxResult box = download_box(session, label, progress, job.boot_expect.value_or(""), fingerprint.crc32);
    if (box.outcome == BoxOutcome::NumbersUsedUp || box.outcome == BoxOutcome::NoNumbers) {
        console_print("no numbers for the box: %s\r\n", box.reason.c_str());
    }
    if (job.boot_expect && !box.boot.empty()) {
        console_note("the box showed \"%s\"", box.boot.c_str());
    } else if (box.outcome == BoxOutcome::NoBoot) {
        console_note("the box did not show \"%s\" within %.0f s", job.boot_expect->c_str(), job.boot_within_s);
    }
    progress.finished(box.outcome == BoxOutcome::Completed);

    if (box.outcome != BoxOutcome::NotStarted) {
        BoxRecord record;
        take_result(record, box);
        record.station = host_name();
        record.port = given;
        record.device = session.device();
        record.adapter = usb_identity_of_device(session.device());
        record.file = job_relative(job, job.image_file);
        char crc32[16];
        std::snprintf(crc32, sizeof crc32, "0x%08X", fingerprint.crc32);
        record.crc32 = crc32;
        char sha256[65];
        format_sha256(fingerprint.sha256, sha256);
        record.sha256 = sha256;
        record.job = job.path;
        if (!log.write(record)) {
            std::string reason;
            log.waiting(reason);
            std::string row = csv_row(record);
            row.resize(row.size() - 2);  // its line end
            console_note("%s: cannot write (%s); the row was: %s", log_path.c_str(), reason.c_str(), row.c_str());
        }
    }
    if (line) {
        // The row goes on to the line's database, or waits in the outbox for the next run.
        line->wake();
        line->stop(LINE_GRACE_S);
        if (line->status().waiting > 0) {
            console_note("%s; it waits in the outbox %s and goes with the next download or station under this log",
                         line->status_line().c_str(), line->outbox_path().c_str());
        }
    }
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
