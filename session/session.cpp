#include "session/session.h"

#include <cstring>
#include <utility>

#include "console/trace.h"
#include "link/exchange_trace.h"
#include "link/update_exchange.h"
#include "session/exchange_fanout.h"

Session::Session(const PortName& name, std::string label, const ImageWindow& image)
    : name_(name), label_(std::move(label)), image_(image) {
    port_.honour(&cancel_);
}

PortOpen Session::open() {
    const PortOpen opened = open_serial_port(name_, port_);
    if (opened == PortOpen::Opened) trace("%s is %s, set to 115200 8N1", label_.c_str(), port_.device());
    return opened;
}

std::string Session::problem() const {
    char reason[1024];
    describe_port_problem(port_, reason, sizeof reason);
    return reason;
}

std::string Session::problem_note() const {
    const char* device = port_.device();
    if (device[0] != '\0' && label_ != device) return label_ + " (" + device + "): " + problem();
    return label_ + ": " + problem();
}

BoxResult Session::run_box(SessionObserver& front) {
    ExchangeTrace trace;
    BoxRecorder recorder(front);
    ExchangeFanout everyone{&trace, &recorder, &front};
    run_update_exchange(port_, image_, everyone);
    BoxResult result = recorder.result();
    if (result.outcome == BoxOutcome::Lost && cancelled()) {
        result.outcome = BoxOutcome::Interrupted;
        result.reason = "the station was stopped";
    } else if (result.outcome == BoxOutcome::Lost) {
        result.reason = problem();
    }
    return result;
}
