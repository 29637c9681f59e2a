// One port's download session, the same under a single download and each
// port of a station: the port opened by the name the operator gave (and
// opened again after a loss), and box after box through the exchange, each
// reported to the trace, recorded, and shown by the front end's observer.
// Under a job, each box also gets numbers of its own, may name itself and
// must prove its boot. A session belongs to one thread; only cancel() and
// reset() may come from another.
#pragma once

#include <atomic>
#include <string>

#include "image/image_window.h"
#include "link/cancel_token.h"
#include "link/port_name.h"
#include "link/serial_port.h"
#include "session/box_result.h"
#include "job/job.h"
#include "line/keeper.h"
#include "job/number_journal.h"
#include "session/session_observer.h"

// How long a station lets a box keep its port: 0 waits as long as it takes.
struct SessionLimits {
    double stall_s = 0;            // the port takes no byte of the transfer this long: the box fails
    double flash_write_max_s = 0;  // no '@' this long after the transfer: the box fails
};

// What a job adds to a session's boxes.
struct SessionJob {
    const Job* job = nullptr;
    NumberJournal* numbers = nullptr;  // the job's journal, when it has unique fields
    std::string station;               // this machine's name, for the journal
    std::string port;                  // the port as given, for the journal
    LineKeeper* line = nullptr;        // under the line's database: where leases come from
};

class Session {
public:
    // `label` names the port in messages and the trace ("COM3", "usb:A12345");
    // `job` (which must outlive the session) is null without a job.
    Session(const PortName& name, std::string label, const ImageWindow& image, const SessionJob* job = nullptr);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& label() const { return label_; }
    // The image the boxes get, for a session made before it was loaded.
    void take_image(const ImageWindow& image) { image_ = image; }

    // Opens the port (closing it first if it is open) with the line settings.
    PortOpen open();
    void close() { port_.close(); }
    // The device tried for the port: "/dev/ttyUSB0", "\\.\COM12".
    const char* device() const { return port_.device(); }
    // Why the port could not be opened or was lost, in words.
    std::string problem() const;
    // The same for standard error: "COM3 (/dev/ttyS2): no such device".
    std::string problem_note() const;
    SerialPort& port() { return port_; }

    // Runs the exchange for one box over the open port, then, under a job
    // that asks, the check of its boot. The result's outcome is NotStarted
    // when the port was lost (or stopped) before any loader line.
    BoxResult run_box(SessionObserver& front);

    // Ends the port's waits from another thread: the box in progress ends as
    // Interrupted.
    void cancel() { cancel_.cancel(); }
    bool cancelled() const { return cancel_.cancelled(); }
    // From another thread: the box in progress ends as Reset ("reset by the
    // operator"), and the port's own thread goes on with rearm_after_reset().
    void reset();
    // On the port's thread after a box: true if a reset ended it (or came
    // while no box was under way), and the port's waits wait again.
    bool rearm_after_reset();

    void set_limits(const SessionLimits& limits);

private:
    BoxEnd::Boot check_boot(SessionObserver& front, BoxResult& result);
    // Whether the operator or the station asked the box in progress to end.
    BoxEnd::Request request() const;
    // What the port and the session know of a box's end.
    BoxEnd box_end(bool started, ExchangeResult exchange) const;

    PortName name_;
    std::string label_;
    ImageWindow image_;
    const SessionJob* job_;
    CancelToken cancel_;
    std::atomic<bool> reset_{false};
    SessionLimits limits_;
    SerialPort port_;
};
