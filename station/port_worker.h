// One port of the station, on a thread of its own: a session that opens the
// port (and tries again every 2 s while it cannot), runs the same exchange
// as a single download for each box, logs each box, and in continuous mode
// waits for the next box once the line has been quiet. What the screen
// shows of it goes through its monitor.
#pragma once

#include <atomic>
#include <string>

#include "session/setup.h"
#include "session/session.h"
#include "station/port_monitor.h"
#include "station/station_options.h"

// What every port shares, read-only once the ports run (but the log and the
// journal, which guard themselves).
struct StationSetup {
    const StationOptions* options;
    ImageWindow image;
    std::string crc32;   // 0x%08X
    std::string sha256;  // 64 lower-case hex digits
    std::string host;
    RunSetup* run;                  // the job, the log, the numbers
    const std::atomic<bool>* stop;  // set when the station is to end
    LineKeeper* line;               // the line's database, or null
};

class PortWorker {
public:
    PortWorker(const StationPort& port, const StationSetup& setup);

    // The thread's body: returns when the port's work is over or the station stops.
    void run();
    // From the main thread, once the station is to stop: ends the port's
    // waits, a write that the line holds back included.
    void stop() { session_.cancel(); }
    // From any thread but the port's own (the screen's keys, the web API):
    // the operator resets the port. Its box in progress fails ("reset by the
    // operator"), or a port waiting for a box to be removed stops waiting; the port then takes the next box. False when
    // there is nothing to reset.
    bool reset();
    // Whether `typed` names this port: its name as shown ("COM7", "com7"),
    // as given in PORTS, or a COM port's number alone ("7").
    bool named_by(const std::string& typed) const;

    PortMonitor& monitor() { return monitor_; }
    // The port as given in PORTS, and its name in messages ("COM7").
    const std::string& given() const { return port_.given; }
    const std::string& label() const { return port_.label; }

private:
    bool open_port();
    bool wait_quiet();
    bool pause(double seconds);
    bool stopping() const { return setup_.stop->load(); }
    void log_box(const BoxResult& box, const std::string& adapter, const std::string& started_by);

    const StationPort port_;
    const StationSetup setup_;
    SessionJob job_;
    Session session_;
    PortMonitor monitor_;
    bool lost_before_ = false;
};
