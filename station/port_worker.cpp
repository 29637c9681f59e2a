#include "station/port_worker.h"

#include <cctype>
#include <chrono>
#include <thread>

#include "console/clock.h"
#include "console/interrupt.h"
#include "console/trace.h"
#include "link/port_list.h"
#include "link/transfer_progress.h"

namespace {

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

constexpr double OPEN_RETRY_S = 2.0;

// What one box's exchange shows on the port's row.
class BoxView final : public SessionObserver {
public:
    BoxView(PortMonitor& monitor, const OperatorOnDuty& on_duty) : monitor_(monitor), on_duty_(on_duty) {}

    void box_started() override {
        started_by_ = on_duty_.operator_name();  // a box is the operator's who was there at its start
        monitor_.box_started();
    }
    const std::string& started_by() const { return started_by_; }
    void box_line(const char* /*line*/, BoxLine meaning) override {
        if (meaning == BoxLine::EraseStarted) monitor_.box_progress(PortPhase::Erasing, 0, 0);
    }
    void answered(bool /*written*/) override { monitor_.box_progress(PortPhase::Erasing, 0, 0); }
    void transfer_started(std::uint32_t packets) override {
        packets_ = packets;
        transfer_start_ = monotonic_seconds();
        monitor_.box_progress(PortPhase::Sending, 0, transfer_figures(0, packets, 0).seconds_left);
    }
    void transfer_progress(std::uint32_t sent) override {
        const double now = monotonic_seconds();
        if (now - last_report_ < 0.2) return;
        last_report_ = now;
        const TransferFigures figures = transfer_figures(sent, packets_, now - transfer_start_);
        monitor_.box_progress(PortPhase::Sending, figures.percent, figures.seconds_left);
    }
    void confirmation(const char* /*line*/) override { monitor_.box_progress(PortPhase::FlashWrite, 100, 0); }
    void numbers_taken(const std::string& pairs, double waited_s) override { monitor_.numbers_taken(pairs, waited_s); }
    void numbers_waiting(const std::string& reason) override { monitor_.numbers_waiting(reason); }
    void box_named(const std::string& id) override { monitor_.box_named(id); }
    void boot_check_started(double /*within_s*/) override { monitor_.box_progress(PortPhase::BootCheck, 100, 0); }

private:
    PortMonitor& monitor_;
    const OperatorOnDuty& on_duty_;
    std::string started_by_;
    std::uint32_t packets_ = 0;
    double transfer_start_ = 0;
    double last_report_ = 0;
};

}  // namespace

PortWorker::PortWorker(const StationPort& port, const StationSetup& setup)
    : port_(port),
      setup_(setup),
      job_{setup.run->under_job ? &setup.run->job : nullptr, setup.run->numbers, setup.host, port.given, setup.line},
      session_(port.name, port.label, setup.image, setup.run->under_job ? &job_ : nullptr),
      monitor_(port.label) {
    session_.set_limits(SessionLimits{setup.options->stall_s, setup.options->flash_write_max_s});
}

bool PortWorker::named_by(const std::string& typed) const {
    const std::string name = upper(typed);
    const bool digits = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    const std::string as_com = digits ? "COM" + std::to_string(std::stoul(name.substr(0, 9))) : name;
    return as_com == upper(port_.label) || name == upper(port_.given);
}

bool PortWorker::reset() {
    const PortView view = monitor_.view();
    if (!view.box_in_progress && view.phase != PortPhase::RemoveBox) return false;
    trace("%s: reset by the operator", port_.label.c_str());
    session_.reset();
    return true;
}

// Sleeps for `seconds`, or until the station is to stop: false then.
bool PortWorker::pause(double seconds) {
    const double until = monotonic_seconds() + seconds;
    while (!stopping()) {
        if (monotonic_seconds() >= until) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Opens the port as a single download does, trying again every 2 s while it
// cannot be. False when the station stops first.
bool PortWorker::open_port() {
    std::string shown;
    while (!stopping()) {
        const PortOpen opened = session_.open();
        if (opened == PortOpen::Opened) {
            monitor_.opened(session_.device(), lost_before_);
            return true;
        }
        const std::string reason =
            (opened == PortOpen::SettingsRefused ? "cannot configure: " : "cannot open: ") + session_.problem();
        session_.close();
        if (reason != shown) {
            shown = reason;
            monitor_.cannot_open(session_.device(), reason);
        }
        if (!pause(OPEN_RETRY_S)) break;
    }
    return false;
}

// After a box, answers nothing until the line has been quiet for the re-arm
// time: a box that restarts after its flash write and asks again is not
// flashed a second time. False if the port is lost or the station stops.
bool PortWorker::wait_quiet() {
    monitor_.remove_the_box();
    double quiet_since = monotonic_seconds();
    while (!stopping()) {
        std::uint8_t byte = 0;
        const PortRead got = session_.port().read_byte(byte);
        // The operator's reset frees the port for the next box at once.
        if (got == PortRead::Lost) return session_.rearm_after_reset();
        if (got == PortRead::Byte) quiet_since = monotonic_seconds();
        if (monotonic_seconds() - quiet_since >= setup_.options->rearm_quiet_s) return true;
    }
    return false;
}

// D2: the box's row, on the disk before the screen shows the box's end; a
// row that cannot be written now waits in the log, and the screen says so.
void PortWorker::log_box(const BoxResult& box, const std::string& adapter, const std::string& started_by) {
    BoxRecord record = box_record(*setup_.run, box, setup_.host, port_.given, session_.device(), adapter);
    if (!started_by.empty()) record.operator_name = started_by;
    setup_.run->log.write(record);
    if (setup_.line != nullptr) setup_.line->wake();  // the row goes on to the line's database
    monitor_.box_ended(box, record);
}

void PortWorker::run() {
    keep_interrupts_off_this_thread();
    trace_label_thread(port_.label.c_str());
    const bool continuous = setup_.options->continuous;
    while (!stopping() && open_port()) {
        const std::string adapter = usb_identity_of_device(session_.device());
        bool reopen = false;
        while (!reopen && !stopping()) {
            monitor_.waiting();
            BoxView view(monitor_, setup_.run->on_duty);
            const BoxResult box = session_.run_box(view);
            // Reset by the operator: the port takes the next box at once, in either mode.
            const bool was_reset = session_.rearm_after_reset();
            if (box.outcome == BoxOutcome::NotStarted) {
                if (stopping()) break;
                if (was_reset) continue;  // no box was under way: nothing to end
                // Lost before any box spoke: the adapter went, or the line.
                lost_before_ = true;
                monitor_.lost(session_.problem());
                session_.close();
                reopen = true;
                pause(OPEN_RETRY_S);
                continue;
            }
            log_box(box, adapter, view.started_by());
            if (was_reset && !stopping()) continue;
            // A port whose numbers are used up, or whose job was revoked, answers no more boxes.
            if (!continuous || box.outcome == BoxOutcome::NumbersUsedUp || box.outcome == BoxOutcome::NotApproved) {
                monitor_.finished();
                return;
            }
            // A box that got no numbers (the journal could not be written)
            // is answered again when it asks again.
            if (box.outcome == BoxOutcome::NoNumbers) continue;
            // A box whose line went may be back at once (a cable put back):
            // it is flashed again, as is one that stalled in its transfer. One
            // whose flash was written (or may be: its write ran past the
            // limit) must go first, whether it proved its boot or not.
            const bool written = box.outcome == BoxOutcome::Completed || box.outcome == BoxOutcome::NoBoot ||
                                 (box.outcome == BoxOutcome::TimedOut && box.bytes_sent == TRANSFER_LENGTH);
            if (!written || !wait_quiet()) {
                lost_before_ = true;
                session_.close();
                reopen = true;
            }
        }
    }
}
