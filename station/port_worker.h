// One port of the station, on a thread of its own: opens the port (and tries
// again every 2 s while it cannot), runs the same exchange as a single
// download for each box, logs each box, and in continuous mode waits for the
// next box once the line has been quiet. What the screen shows of it is read
// through view() and take_events(), under the port's own lock.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "station/station_log.h"
#include "station/station_options.h"

// What every port shares, read-only once the ports run.
struct StationSetup {
    const StationOptions* options;
    std::string crc32;   // 0x%08X
    std::string sha256;  // 64 lower-case hex digits
    std::string host;
    StationLog* log;
    const std::atomic<bool>* stop;  // set when the station is to end
};

enum class PortPhase {
    Opening,
    CannotOpen,   // reason: why; tried again every 2 s
    Waiting,      // for a box
    Erasing,      // the box answered and erases its flash
    Sending,      // percent, seconds_left
    FlashWrite,   // since phase_start
    RemoveBox,    // continuous: answering nothing until the line is quiet
    Completed,    // box_seconds: the box's time
    Failed,       // reason
    Interrupted,
};

struct PortView {
    std::string label;  // the port's name: "COM7", "/dev/ttyUSB0"
    std::string device;
    PortPhase phase = PortPhase::Opening;
    std::string reason;
    unsigned percent = 0;
    double seconds_left = 0;
    double phase_start = 0;
    double box_seconds = 0;
    unsigned completed = 0;
    unsigned failed = 0;       // lost connection
    unsigned interrupted = 0;
    bool box_in_progress = false;
    bool finished = false;     // one box per port: its box is over
};

// Something that happened on a port, for a screen that is not a terminal.
struct PortEvent {
    std::string time;  // UTC
    std::string text;
};

class PortWorker {
public:
    PortWorker(const StationPort& port, const StationSetup& setup);

    // The thread's body: returns when the port's work is over or the station stops.
    void run();

    PortView view();
    std::vector<PortEvent> take_events();

    // For the observer of the exchange.
    void box_started();
    void box_progress(PortPhase phase, unsigned percent, double seconds_left);
    void box_ended(const BoxRecord& record, double seconds, bool completed, bool interrupted);

private:
    bool open_port(SerialPort& port);
    bool wait_quiet(SerialPort& port);
    void set_phase(PortPhase phase, const std::string& reason = std::string());
    void event(const std::string& text);
    bool pause(double seconds);
    std::string adapter_of(const char* device) const;

    const StationPort port_;
    const StationSetup setup_;
    std::mutex lock_;  // guards view_ and events_
    PortView view_;
    std::vector<PortEvent> events_;
    bool lost_before_ = false;
};
