#include "session/box_result.h"

#include <chrono>
#include <cstdio>

#include "console/clock.h"
#include "link/update_exchange.h"

void take_result(BoxRecord& record, const BoxResult& result) {
    record.started = result.started;
    record.ended = result.ended;
    record.result = outcome_word(result.outcome);
    record.erase_s = result.erase_s;
    record.transfer_s = result.transfer_s;
    record.flash_write_s = result.flash_write_s;
    record.bytes_sent = result.bytes_sent;
    record.reason = result.reason;
    record.box_id = result.box_id;
    record.unique = result.unique;
    record.box_crc32 = result.box_crc32;
    record.boot = result.boot;
}

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
    case BoxOutcome::NotApproved: return "not approved";
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
    r.outcome = started_ ? BoxOutcome::Lost : BoxOutcome::NotStarted;  // until decide_outcome()
    r.started = started_at_;
    r.ended = utc_now();
    r.seconds = started_ ? end_ - box_start_ : 0;
    r.erase_s = phase(erase_start_, erase_end_);
    r.transfer_s = phase(transfer_start_, transfer_end_);
    r.flash_write_s = phase(flash_start_, completed ? end_ : -1);
    r.bytes_sent = static_cast<unsigned long>(sent_) * PACKET_DATA_BYTES;
    return r;
}

namespace {

// A box the operator or the station ended: its outcome and reason. False for any other end.
bool ended_on_request(const BoxEnd& end, BoxResult& result) {
    switch (end.request) {
    case BoxEnd::Request::Reset:
        result.outcome = BoxOutcome::Reset;
        result.reason = "reset by the operator";
        return true;
    case BoxEnd::Request::Stop:
        result.outcome = BoxOutcome::Interrupted;
        result.reason = "the station was stopped";
        return true;
    case BoxEnd::Request::None:
        break;
    }
    return false;
}

// Its flash written and confirmed: completed, unless its boot was to be shown and was not.
void decide_written(const BoxEnd& end, BoxResult& result) {
    char reason[96];
    switch (end.boot) {
    case BoxEnd::Boot::NotAsked:
    case BoxEnd::Boot::Shown:
        result.outcome = BoxOutcome::Completed;
        return;
    case BoxEnd::Boot::Lost:
        if (ended_on_request(end, result)) return;
        result.outcome = BoxOutcome::NoBoot;
        result.reason = "lost connection while checking the boot (" + end.port_problem + ")";
        return;
    case BoxEnd::Boot::NotShown:
        result.outcome = BoxOutcome::NoBoot;
        std::snprintf(reason, sizeof reason, "the boot text did not come within %.0f s", end.boot_within_s);
        result.reason = reason;
        return;
    }
}

}  // namespace

void decide_outcome(const BoxEnd& end, BoxResult& result) {
    result.reason.clear();
    char reason[96];
    if (!end.started) {
        result.outcome = BoxOutcome::NotStarted;
        return;
    }
    switch (end.exchange) {
    case ExchangeResult::Completed:
        decide_written(end, result);
        return;
    case ExchangeResult::Refused:
        result.outcome = end.not_approved     ? BoxOutcome::NotApproved
                         : end.numbers_failed ? BoxOutcome::NoNumbers
                                              : BoxOutcome::NumbersUsedUp;
        result.reason = end.refusal;
        return;
    case ExchangeResult::TimedOut:
        result.outcome = BoxOutcome::TimedOut;
        std::snprintf(reason, sizeof reason, "the box did not confirm its flash write within %.0f s",
                      end.flash_write_max_s);
        result.reason = reason;
        return;
    case ExchangeResult::Lost:
        break;
    }
    if (!ended_on_request(end, result)) {
        result.outcome = end.stalled ? BoxOutcome::TimedOut : BoxOutcome::Lost;
        result.reason = end.port_problem;
    }
    // A box stopped or lost while it waited for numbers was never answered: its row says so.
    if (!end.waiting.empty()) result.reason += "; it was waiting for numbers (" + end.waiting + ") and was not answered";
}
