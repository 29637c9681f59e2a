#include "station/port_worker.h"

#include <chrono>
#include <thread>

#include "console/clock.h"
#include "console/trace.h"
#include "image/hex_image.h"
#include "link/exchange_trace.h"
#include "link/port_list.h"
#include "link/transfer_progress.h"
#include "link/update_exchange.h"

namespace {

constexpr double OPEN_RETRY_S = 2.0;

std::string utc_now() {
    char text[40];
    format_utc(std::chrono::system_clock::now(), text, sizeof text);
    return text;
}

std::string port_reason(const SerialPort& port) {
    char reason[1024];
    describe_port_problem(port, reason, sizeof reason);
    return reason;
}

// The serial port as the station's exchange sees it: once the station is to
// stop, the box counts as gone, so the exchange ends at its next read or write.
class StoppablePort final : public PortIo {
public:
    StoppablePort(SerialPort& port, const std::atomic<bool>& stop) : port_(port), stop_(stop) {}

    PortRead read_byte(std::uint8_t& byte) override {
        return stop_.load(std::memory_order_relaxed) ? PortRead::Lost : port_.read_byte(byte);
    }
    PortWrite write(const std::uint8_t* data, std::size_t size) override {
        return stop_.load(std::memory_order_relaxed) ? PortWrite::Lost : port_.write(data, size);
    }

private:
    SerialPort& port_;
    const std::atomic<bool>& stop_;
};

// One box on one port: what the exchange reports, turned into the port's
// state on the screen and the box's row in the log; the trace as a single
// download keeps it.
class BoxObserver final : public ExchangeObserver {
public:
    explicit BoxObserver(PortWorker& worker) : worker_(worker) {}

    void box_line(const char* line, BoxLine meaning) override {
        trace_.box_line(line, meaning);
        start();
        if (meaning == BoxLine::EraseStarted) erasing();
        if (meaning == BoxLine::EraseDone) {
            if (erase_start_ < 0) erase_start_ = monotonic_seconds();
            erase_end_ = monotonic_seconds();
        }
    }
    void lines_dropped(unsigned long count) override {
        trace_.lines_dropped(count);
        start();
    }
    void answered(bool written) override {
        trace_.answered(written);
        erasing();
    }
    void transfer_started(std::uint32_t packets) override {
        trace_.transfer_started(packets);
        packets_ = packets;
        transfer_start_ = monotonic_seconds();
        worker_.box_progress(PortPhase::Sending, 0, transfer_figures(0, packets, 0).seconds_left);
    }
    void transfer_progress(std::uint32_t sent) override {
        const double now = monotonic_seconds();
        if (now - last_report_ < 0.2) return;
        last_report_ = now;
        const TransferFigures figures = transfer_figures(sent, packets_, now - transfer_start_);
        worker_.box_progress(PortPhase::Sending, figures.percent, figures.seconds_left);
    }
    void transfer_ended(std::uint32_t sent, bool complete) override {
        trace_.transfer_ended(sent, complete);
        sent_ = sent;
        transfer_end_ = monotonic_seconds();
    }
    void confirmation(const char* line) override {
        trace_.confirmation(line);
        flash_start_ = monotonic_seconds();
        worker_.box_progress(PortPhase::FlashWrite, 100, 0);
    }
    void flash_waiting(unsigned long bytes) override { trace_.flash_waiting(bytes); }
    void flash_turn(unsigned /*turn*/) override {}
    void finished(ExchangeResult result) override {
        trace_.finished(result);
        end_ = monotonic_seconds();
        completed_ = result == ExchangeResult::Completed;
    }

    bool started() const { return started_; }
    bool completed() const { return completed_; }

    // The box's row, but for what only the port knows (device, result, reason).
    BoxRecord record() const {
        BoxRecord r;
        r.started = started_at_;
        r.ended = utc_now();
        r.erase_s = phase(erase_start_, erase_end_);
        r.transfer_s = phase(transfer_start_, transfer_end_);
        r.flash_write_s = phase(flash_start_, completed_ ? end_ : -1);
        r.bytes_sent = static_cast<unsigned long>(sent_) * PACKET_DATA_BYTES;
        return r;
    }
    double seconds() const { return end_ - box_start_; }

private:
    void start() {
        if (started_) return;
        started_ = true;
        started_at_ = utc_now();
        box_start_ = monotonic_seconds();
        worker_.box_started();
    }
    void erasing() {
        start();
        if (erase_start_ < 0) erase_start_ = monotonic_seconds();
        worker_.box_progress(PortPhase::Erasing, 0, 0);
    }
    // A phase's seconds: to its end, or to the box's end if it broke off
    // there; negative for a phase the box never reached.
    double phase(double from, double to) const {
        if (from < 0) return -1;
        return (to >= 0 ? to : end_) - from;
    }

    PortWorker& worker_;
    ExchangeTrace trace_;
    bool started_ = false;
    bool completed_ = false;
    std::string started_at_;
    double box_start_ = 0;
    double erase_start_ = -1;
    double erase_end_ = -1;
    double transfer_start_ = -1;
    double transfer_end_ = -1;
    double flash_start_ = -1;
    double end_ = 0;
    double last_report_ = 0;
    std::uint32_t packets_ = 0;
    std::uint32_t sent_ = 0;
};

}  // namespace

PortWorker::PortWorker(const StationPort& port, const StationSetup& setup) : port_(port), setup_(setup) {
    view_.label = port.label;
}

void PortWorker::event(const std::string& text) {
    events_.push_back({utc_now(), text});
}

void PortWorker::set_phase(PortPhase phase, const std::string& reason) {
    const std::lock_guard<std::mutex> hold(lock_);
    view_.phase = phase;
    view_.reason = reason;
    view_.phase_start = monotonic_seconds();
}

PortView PortWorker::view() {
    const std::lock_guard<std::mutex> hold(lock_);
    return view_;
}

std::vector<PortEvent> PortWorker::take_events() {
    const std::lock_guard<std::mutex> hold(lock_);
    std::vector<PortEvent> taken;
    taken.swap(events_);
    return taken;
}

void PortWorker::box_started() {
    const std::lock_guard<std::mutex> hold(lock_);
    view_.box_in_progress = true;
    event("box started");
}

void PortWorker::box_progress(PortPhase phase, unsigned percent, double seconds_left) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (view_.phase != phase) view_.phase_start = monotonic_seconds();
    view_.phase = phase;
    view_.percent = percent;
    view_.seconds_left = seconds_left;
}

void PortWorker::box_ended(const BoxRecord& record, double seconds, bool completed, bool interrupted) {
    // On the disk before the screen shows the end; a row that cannot be
    // written now waits in the log, and the screen says so.
    setup_.log->write(record);
    const std::lock_guard<std::mutex> hold(lock_);
    view_.box_in_progress = false;
    view_.box_seconds = seconds;
    view_.reason = record.reason;
    view_.phase_start = monotonic_seconds();
    char took[32];
    format_duration(seconds, took, sizeof took);
    if (completed) {
        ++view_.completed;
        view_.phase = PortPhase::Completed;
        event(std::string("completed in ") + took);
    } else if (interrupted) {
        ++view_.interrupted;
        view_.phase = PortPhase::Interrupted;
        event("interrupted");
    } else {
        ++view_.failed;
        view_.phase = PortPhase::Failed;
        event("failed: lost connection (" + record.reason + ")");
    }
}

// Sleeps for `seconds`, or until the station is to stop: false then.
bool PortWorker::pause(double seconds) {
    const double until = monotonic_seconds() + seconds;
    while (!setup_.stop->load()) {
        if (monotonic_seconds() >= until) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string PortWorker::adapter_of(const char* device) const {
    char wanted[PORT_DEVICE_MAX];
    canonical_device(device, wanted, sizeof wanted);
    for (const PortInfo& info : list_serial_ports()) {
        char known[PORT_DEVICE_MAX];
        canonical_device(info.device.c_str(), known, sizeof known);
        if (std::string(known) != wanted || !info.usb) continue;
        std::string adapter;
        if (!info.serial.empty()) adapter += "usb:" + info.serial;
        if (!info.location.empty()) adapter += (adapter.empty() ? "usb@" : " usb@") + info.location;
        return adapter;
    }
    return std::string();
}

// Opens the port as a single download does, trying again every 2 s while it
// cannot be. False when the station stops first.
bool PortWorker::open_port(SerialPort& port) {
    std::string shown;
    while (!setup_.stop->load()) {
        const PortOpen opened = open_serial_port(port_.name, port);
        if (opened == PortOpen::Opened) {
            {
                const std::lock_guard<std::mutex> hold(lock_);
                view_.device = port.device();
                event(std::string(lost_before_ ? "back on " : "opened ") + port.device());
            }
            trace("%s is %s, set to 115200 8N1", port_.label.c_str(), port.device());
            return true;
        }
        std::string reason = (opened == PortOpen::SettingsRefused ? "cannot configure: " : "cannot open: ") +
                             port_reason(port);
        port.close();
        if (reason != shown) {
            shown = reason;
            set_phase(PortPhase::CannotOpen, reason);
            const std::lock_guard<std::mutex> hold(lock_);
            view_.device = port.device();
            event(reason);
        }
        if (!pause(OPEN_RETRY_S)) break;
    }
    return false;
}

// After a box, answers nothing until the line has been quiet for the re-arm
// time: a box that restarts after its flash write and asks again is not
// flashed a second time. False if the port is lost or the station stops.
bool PortWorker::wait_quiet(SerialPort& port) {
    set_phase(PortPhase::RemoveBox);
    {
        const std::lock_guard<std::mutex> hold(lock_);
        event("remove the box");
    }
    double quiet_since = monotonic_seconds();
    while (!setup_.stop->load()) {
        std::uint8_t byte = 0;
        const PortRead got = port.read_byte(byte);
        if (got == PortRead::Lost) return false;
        if (got == PortRead::Byte) quiet_since = monotonic_seconds();
        if (monotonic_seconds() - quiet_since >= setup_.options->rearm_quiet_s) return true;
    }
    return false;
}

void PortWorker::run() {
    trace_label_thread(port_.label.c_str());
    const StationOptions& options = *setup_.options;
    SerialPort port;
    while (!setup_.stop->load()) {
        if (!open_port(port)) break;
        const std::string adapter = adapter_of(port.device());
        bool reopen = false;
        while (!reopen && !setup_.stop->load()) {
            set_phase(PortPhase::Waiting);
            BoxObserver box(*this);
            StoppablePort io(port, *setup_.stop);
            run_update_exchange(io, box);  // the observer keeps what it came to
            const bool stopped = setup_.stop->load();
            if (!box.started()) {
                if (stopped) break;
                // Lost before any box spoke: the adapter went, or the line.
                const std::string reason = port_reason(port);
                lost_before_ = true;
                port.close();
                set_phase(PortPhase::CannotOpen, "lost: " + reason);
                {
                    const std::lock_guard<std::mutex> hold(lock_);
                    event("port lost: " + reason);
                }
                reopen = true;
                pause(OPEN_RETRY_S);
                continue;
            }
            BoxRecord record = box.record();
            record.station = setup_.host;
            record.port = port_.given;
            record.device = port.device();
            record.adapter = adapter;
            record.file = options.hex_path;
            record.crc32 = setup_.crc32;
            record.sha256 = setup_.sha256;
            const bool completed = box.completed();
            const bool interrupted = !completed && stopped;
            record.result = completed ? "completed" : interrupted ? "interrupted" : "lost connection";
            if (!completed) record.reason = interrupted ? "the station was stopped" : port_reason(port);
            box_ended(record, box.seconds(), completed, interrupted);
            if (!options.continuous) {
                const std::lock_guard<std::mutex> hold(lock_);
                view_.finished = true;
                return;
            }
            if (!completed) {
                // The box may be back at once (a cable put back): it is flashed again.
                lost_before_ = true;
                port.close();
                reopen = true;
                continue;
            }
            if (!wait_quiet(port)) {
                lost_before_ = true;
                port.close();
                reopen = true;
            }
        }
    }
}
