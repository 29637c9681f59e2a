#include "session/box_result.h"

#include <chrono>

#include "console/clock.h"
#include "link/update_exchange.h"

namespace {

std::string utc_now() {
    char text[40];
    format_utc(std::chrono::system_clock::now(), text, sizeof text);
    return text;
}

}  // namespace

const char* outcome_word(BoxOutcome outcome) {
    switch (outcome) {
    case BoxOutcome::Completed: return "completed";
    case BoxOutcome::Lost: return "lost connection";
    case BoxOutcome::Interrupted: return "interrupted";
    case BoxOutcome::NoBoot: return "no boot message";
    case BoxOutcome::NumbersUsedUp: return "numbers used up";
    case BoxOutcome::NoNumbers: return "no numbers";
    case BoxOutcome::TimedOut: return "timed out";
    case BoxOutcome::Reset: return "reset";
    case BoxOutcome::NotStarted: break;
    }
    return "";
}

bool outcome_failed(BoxOutcome outcome) {
    return outcome != BoxOutcome::Completed && outcome != BoxOutcome::Interrupted && outcome != BoxOutcome::NotStarted;
}

void BoxRecorder::start() {
    if (started_) return;
    started_ = true;
    started_at_ = utc_now();
    box_start_ = monotonic_seconds();
    front_.box_started();
}

void BoxRecorder::box_line(const char* /*line*/, BoxLine meaning) {
    // Only the loader's own lines start a box: line noise from an idle line
    // (an application's log, a box left powered) does not.
    if (meaning == BoxLine::Other) return;
    start();
    const double now = monotonic_seconds();
    if (meaning == BoxLine::EraseStarted && erase_start_ < 0) erase_start_ = now;
    if (meaning == BoxLine::EraseDone) {
        if (erase_start_ < 0) erase_start_ = now;
        erase_end_ = now;
    }
}

void BoxRecorder::answered(bool /*written*/) {
    // The erase begins with the answer to the update request.
    if (erase_start_ < 0) erase_start_ = monotonic_seconds();
}

void BoxRecorder::transfer_started(std::uint32_t /*packets*/) {
    transfer_start_ = monotonic_seconds();
}

void BoxRecorder::transfer_ended(std::uint32_t sent, bool /*complete*/) {
    sent_ = sent;
    transfer_end_ = monotonic_seconds();
}

void BoxRecorder::confirmation(const char* /*line*/) {
    flash_start_ = monotonic_seconds();
}

void BoxRecorder::finished(ExchangeResult result) {
    end_ = monotonic_seconds();
    ended_ = result;
}

// A phase's seconds: to its end, or to the box's end if it broke off there;
// negative for a phase the box never reached.
double BoxRecorder::phase(double from, double to) const {
    if (from < 0) return -1;
    return (to >= 0 ? to : end_) - from;
}

BoxResult BoxRecorder::result() const {
    BoxResult r;
    const bool completed = ended_ == ExchangeResult::Completed;
    r.outcome = !started_                           ? BoxOutcome::NotStarted
                : completed                         ? BoxOutcome::Completed
                : ended_ == ExchangeResult::Refused  ? BoxOutcome::NumbersUsedUp
                : ended_ == ExchangeResult::TimedOut ? BoxOutcome::TimedOut
                                                     : BoxOutcome::Lost;
    r.started = started_at_;
    r.ended = utc_now();
    r.seconds = started_ ? end_ - box_start_ : 0;
    r.erase_s = phase(erase_start_, erase_end_);
    r.transfer_s = phase(transfer_start_, transfer_end_);
    r.flash_write_s = phase(flash_start_, completed ? end_ : -1);
    r.bytes_sent = static_cast<unsigned long>(sent_) * PACKET_DATA_BYTES;
    return r;
}
