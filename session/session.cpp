#include "session/session.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <utility>

#include "console/clock.h"
#include "console/trace.h"
#include "image/image_fingerprint.h"
#include "link/device_line.h"
#include "link/exchange_trace.h"
#include "link/update_exchange.h"
#include "session/exchange_fanout.h"
#include "job/unique_value.h"

namespace {

std::string escaped_line(const char* line, std::size_t size) {
    char text[4 * DEVICE_LINE_MAX + 8];
    trace_escape(line, size, text, sizeof text);
    return text;
}

std::string without_line_end(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// The box's own number: the first line before its transfer that matches the
// job's pattern gives it (the first capture group, or the whole match).
class IdentityWatch final : public SessionObserver {
public:
    IdentityWatch(const std::string& pattern, SessionObserver& front)
        : pattern_(pattern, std::regex::ECMAScript), front_(front) {}

    void box_line(const char* line, BoxLine /*meaning*/) override {
        if (!id_.empty() || sending_) return;
        std::cmatch match;
        const char* end = line + std::strlen(line);
        if (!std::regex_search(line, end, match, pattern_)) return;
        id_ = without_line_end(match.size() > 1 && match[1].matched ? match[1].str() : match[0].str());
        trace("identity: %s", id_.c_str());
        front_.box_named(id_);
    }
    void transfer_started(std::uint32_t /*packets*/) override { sending_ = true; }

    const std::string& id() const { return id_; }

private:
    std::regex pattern_;
    SessionObserver& front_;
    std::string id_;
    bool sending_ = false;
};

// What a box is answered and sent under a job. A box is answered only once
// its values are its own: taken from the journal and on the disk before its
// 'y' is written, so that no box is erased without them. None left: the box
// is not answered. None at hand yet (a station's lease on its way): the
// request is held and answered as soon as values come, while the box says
// nothing else. The transfer then sends the image with the box's values.
class JobSource final : public ExchangeSource {
public:
    JobSource(const SessionJob& job, const ImageWindow& image, SessionObserver& front)
        : job_(job), image_(image), front_(front), overlay_(image) {}

    UpdateAnswer update_requested() override {
        // A job whose approval was revoked while the station ran answers no new box.
        const std::string revoked = job_.line != nullptr && !took() ? job_.line->revoked() : std::string();
        if (!revoked.empty()) {
            not_approved_ = true;
            refusal_ = revoked;
            trace("update request not answered: %s", revoked.c_str());
            return UpdateAnswer::Refuse;
        }
        if (job_.numbers == nullptr || took()) return UpdateAnswer::Answer;
        return take_values();
    }

    UpdateAnswer held_request() override {
        // Asked about every read while the box is quiet: the journal is
        // looked at only once it may have something to give.
        if (!job_.numbers->may_give()) {
            hold(std::string());
            return UpdateAnswer::Hold;
        }
        return take_values();
    }

    const ImageWindow* transfer_image() override {
        if (job_.numbers == nullptr) {
            sent_ = image_;
            return &sent_;
        }
        // A box that erased without being answered (its loader went straight
        // to "Erase done.") takes its values now.
        if (!took() && take_values() != UpdateAnswer::Answer) return nullptr;
        return &sent_;
    }

    bool took() const { return !pairs_.empty(); }
    bool sent() const { return sent_.bytes != nullptr; }
    bool failed() const { return failed_; }
    bool not_approved() const { return not_approved_; }
    // The box asked and was held waiting for numbers: why, or empty.
    const std::string& waiting() const { return waiting_; }
    const std::string& refusal() const { return refusal_; }
    const std::string& pairs() const { return pairs_; }
    const std::vector<std::uint64_t>& values() const { return values_; }
    const ImageWindow& window() const { return sent_; }

private:
    UpdateAnswer take_values() {
        std::string why;
        const TakeResult taken = job_.numbers->take(job_.station, job_.port, values_, why);
        if (job_.line != nullptr) job_.line->wake();  // the next lease may be due
        switch (taken) {
        case TakeResult::Taken:
            break;
        case TakeResult::NoneAtHand:
            hold(why);
            return UpdateAnswer::Hold;
        case TakeResult::UsedUp:
            refusal_ = why + " used up";
            trace("update request not answered: the numbers of %s are used up", why.c_str());
            return UpdateAnswer::Refuse;
        case TakeResult::Failed:
            failed_ = true;
            refusal_ = why;
            trace("update request not answered: no numbers for the box: %s", why.c_str());
            return UpdateAnswer::Refuse;
        }
        const std::vector<UniqueField>& fields = job_.numbers->fields();
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const std::vector<std::uint8_t> bytes = unique_bytes(fields[f], values_[f]);
            overlay_.put(fields[f].address, bytes.data(), bytes.size());
        }
        sent_ = overlay_.window();
        pairs_ = unique_pairs(fields, values_);
        const double waited = held_since_ >= 0 ? monotonic_seconds() - held_since_ : 0.0;
        if (held_since_ >= 0) {
            trace("numbers: %s, on the disk in %s, after waiting %.1f s for them", pairs_.c_str(),
                  job_.numbers->path().c_str(), waited);
        } else {
            trace("numbers: %s, on the disk in %s", pairs_.c_str(), job_.numbers->path().c_str());
        }
        waiting_.clear();
        front_.numbers_taken(pairs_, waited);
        return UpdateAnswer::Answer;
    }

    // No value at hand: the box is not answered yet, and the keeper is asked for a lease now.
    void hold(const std::string& why) {
        const std::string reason = job_.line != nullptr ? job_.line->numbers_wait_reason() : why;
        if (held_since_ < 0) held_since_ = monotonic_seconds();
        if (reason != waiting_) trace("update request not answered yet: waiting for numbers: %s", reason.c_str());
        waiting_ = reason;
        front_.numbers_waiting(reason);
    }

    const SessionJob& job_;
    ImageWindow image_;
    SessionObserver& front_;
    ImageOverlay overlay_;
    ImageWindow sent_;
    std::vector<std::uint64_t> values_;
    std::string pairs_;
    std::string refusal_;
    std::string waiting_;
    double held_since_ = -1;  // when the box was first held waiting for numbers
    bool failed_ = false;
    bool not_approved_ = false;
};

}  // namespace

Session::Session(const PortName& name, std::string label, const ImageWindow& image, const SessionJob* job)
    : name_(name), label_(std::move(label)), image_(image), job_(job) {
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
    const char* tried = port_.device();
    if (tried[0] != '\0' && label_ != tried) return label_ + " (" + tried + "): " + problem();
    return label_ + ": " + problem();
}

BoxResult Session::run_box(SessionObserver& front) {
    const SessionJob no_job{};
    const SessionJob& job = job_ != nullptr ? *job_ : no_job;
    ExchangeTrace trace_lines;
    BoxRecorder recorder(front);
    std::unique_ptr<IdentityWatch> identity;
    if (job.job != nullptr && job.job->identity_pattern) {
        identity = std::make_unique<IdentityWatch>(*job.job->identity_pattern, front);
    }
    ExchangeFanout everyone{&trace_lines, &recorder, identity.get(), &front};
    JobSource source(job, image_, front);
    ExchangeLimits limits;
    limits.flash_write_max_s = limits_.flash_write_max_s;
    run_update_exchange(port_, source, everyone, limits);

    BoxResult result = recorder.result();
    if (identity) result.box_id = identity->id();
    result.unique = source.pairs();
    if (source.sent() && job.job != nullptr) result.box_crc32 = crc32_text(window_crc32(source.window()));
    BoxEnd end = box_end(recorder.started(), recorder.ended());
    end.numbers_failed = source.failed();
    end.not_approved = source.not_approved();
    end.refusal = source.refusal();
    if (!source.took()) end.waiting = source.waiting();
    if (end.started && end.exchange == ExchangeResult::Completed && job.job != nullptr && job.job->boot_expect) {
        const double checking = monotonic_seconds();
        end.boot = check_boot(front, result);
        end.boot_within_s = job.job->boot_within_s;
        end.request = request();
        end.port_problem = problem();
        // The box ends with its check.
        result.ended = utc_now();
        result.seconds += monotonic_seconds() - checking;
    }
    decide_outcome(end, result);
    if (source.took()) job.numbers->end(job.station, job.port, source.values(), outcome_word(result.outcome));
    return result;
}

BoxEnd::Request Session::request() const {
    if (reset_.load()) return BoxEnd::Request::Reset;
    return cancelled() ? BoxEnd::Request::Stop : BoxEnd::Request::None;
}

BoxEnd Session::box_end(bool started, ExchangeResult exchange) const {
    BoxEnd end;
    end.started = started;
    end.exchange = exchange;
    end.request = request();
    end.port_problem = problem();
    end.stalled = port_.problem().fault == PortFault::Stalled;
    end.flash_write_max_s = limits_.flash_write_max_s;
    return end;
}

void Session::reset() {
    reset_.store(true);
    cancel_.cancel();
}

bool Session::rearm_after_reset() {
    if (!reset_.exchange(false)) return false;
    cancel_.rearm();
    return true;
}

void Session::set_limits(const SessionLimits& limits) {
    limits_ = limits;
    port_.limit_stall(limits.stall_s);
}

// After the box's '@': its lines, unanswered, for up to the job's within_s,
// until one holds the expected text.
BoxEnd::Boot Session::check_boot(SessionObserver& front, BoxResult& result) {
    const std::string& expect = *job_->job->boot_expect;
    const double within = job_->job->boot_within_s;
    trace("boot: waiting up to %.0f s for \"%s\"", within, expect.c_str());
    front.boot_check_started(within);
    const double started = monotonic_seconds();
    double reported = 0;
    std::string line;
    for (;;) {
        const double waited = monotonic_seconds() - started;
        if (waited >= within) break;
        if (waited - reported >= 1.0) {
            reported = waited;
            front.boot_waiting(waited);
        }
        std::uint8_t byte = 0;
        const PortRead got = port_.read_byte(byte);
        if (got == PortRead::Lost) {
            trace("boot: lost connection while checking the boot (%s)", problem().c_str());
            return BoxEnd::Boot::Lost;
        }
        if (got != PortRead::Byte || byte == '\0') continue;
        line += static_cast<char>(byte);
        if (line.find(expect) != std::string::npos && (byte == '\n' || line.size() >= DEVICE_LINE_MAX - 1)) {
            result.boot = without_line_end(line);
            trace("boot: \"%s\"", escaped_line(line.data(), line.size()).c_str());
            return BoxEnd::Boot::Shown;
        }
        if (byte == '\n' || line.size() >= DEVICE_LINE_MAX - 1) line.clear();
    }
    // A line still without its end counts if it holds the text.
    if (line.find(expect) != std::string::npos) {
        result.boot = without_line_end(line);
        trace("boot: \"%s\" (no line end)", escaped_line(line.data(), line.size()).c_str());
        return BoxEnd::Boot::Shown;
    }
    trace("boot: \"%s\" did not come within %.0f s", expect.c_str(), within);
    return BoxEnd::Boot::NotShown;
}
