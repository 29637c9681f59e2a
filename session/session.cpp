#include "session/session.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <utility>

#include "console/clock.h"
#include "console/trace.h"
#include "link/device_line.h"
#include "link/exchange_trace.h"
#include "link/update_exchange.h"
#include "session/exchange_fanout.h"
#include "session/unique_value.h"

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
    explicit IdentityWatch(const std::string& pattern) : pattern_(pattern, std::regex::ECMAScript) {}

    void box_line(const char* line, BoxLine /*meaning*/) override {
        if (!id_.empty() || sending_) return;
        std::cmatch match;
        const char* end = line + std::strlen(line);
        if (!std::regex_search(line, end, match, pattern_)) return;
        id_ = without_line_end(match.size() > 1 && match[1].matched ? match[1].str() : match[0].str());
        trace("identity: %s", id_.c_str());
    }
    void transfer_started(std::uint32_t /*packets*/) override { sending_ = true; }

    const std::string& id() const { return id_; }

private:
    std::regex pattern_;
    std::string id_;
    bool sending_ = false;
};

// What a box is answered and sent under a job: nothing once a range of its
// numbers is used up, and at the transfer's start the image with its own
// numbers, taken from the journal and on the disk before the first packet.
// A box is answered only with a value kept for it; under the line's
// database, one without is left to ask again until a lease comes.
class JobSource final : public ExchangeSource {
public:
    JobSource(const SessionJob& job, const ImageWindow& image, SessionObserver& front)
        : job_(job), image_(image), front_(front), overlay_(image) {}
    ~JobSource() {
        if (reserved_) job_.numbers->release();
    }
    JobSource(const JobSource&) = delete;
    JobSource& operator=(const JobSource&) = delete;

    UpdateAnswer update_requested() override {
        if (job_.numbers == nullptr || reserved_) return UpdateAnswer::Answer;
        if (job_.numbers->reserve()) {
            reserved_ = job_.numbers->leased();
            return UpdateAnswer::Answer;
        }
        const std::string spent = job_.numbers->used_up();
        if (!spent.empty() || job_.line == nullptr) {
            refusal_ = spent + " used up";
            trace("update request not answered: the numbers of %s are used up", spent.c_str());
            return UpdateAnswer::Refuse;
        }
        const std::string reason = job_.line->numbers_wait_reason();
        if (reason != waiting_) trace("update request not answered yet: waiting for numbers: %s", reason.c_str());
        waiting_ = reason;
        job_.line->wake();  // a lease is wanted now
        front_.numbers_waiting(reason);
        return UpdateAnswer::Hold;
    }

    const ImageWindow* transfer_image() override {
        if (job_.numbers == nullptr) {
            sent_ = image_;
            return &sent_;
        }
        std::string why;
        reserved_ = false;  // the take uses the kept value
        const TakeResult taken = job_.numbers->take(job_.station, job_.port, values_, why);
        if (job_.line != nullptr) job_.line->wake();  // the next lease may be due
        if (taken != TakeResult::Taken) {
            failed_ = taken == TakeResult::Failed;
            refusal_ = failed_ ? why : why + " used up";
            trace("no numbers for the box: %s", refusal_.c_str());
            return nullptr;
        }
        const std::vector<UniqueField>& fields = job_.numbers->fields();
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const std::vector<std::uint8_t> bytes = unique_bytes(fields[f], values_[f]);
            overlay_.put(fields[f].address, bytes.data(), bytes.size());
        }
        sent_ = overlay_.window();
        pairs_ = unique_pairs(fields, values_);
        trace("numbers: %s, on the disk in %s", pairs_.c_str(), job_.numbers->path().c_str());
        front_.numbers_taken(pairs_);
        return &sent_;
    }

    bool took() const { return !pairs_.empty(); }
    bool sent() const { return sent_.bytes != nullptr; }
    bool failed() const { return failed_; }
    const std::string& refusal() const { return refusal_; }
    const std::string& pairs() const { return pairs_; }
    const std::vector<std::uint64_t>& values() const { return values_; }
    const ImageWindow& window() const { return sent_; }

private:
    const SessionJob& job_;
    ImageWindow image_;
    SessionObserver& front_;
    ImageOverlay overlay_;
    ImageWindow sent_;
    std::vector<std::uint64_t> values_;
    std::string pairs_;
    std::string refusal_;
    std::string waiting_;
    bool failed_ = false;
    bool reserved_ = false;
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
    if (job.job != nullptr && job.job->identity_pattern) identity = std::make_unique<IdentityWatch>(*job.job->identity_pattern);
    ExchangeFanout everyone{&trace_lines, &recorder, identity.get(), &front};
    JobSource source(job, image_, front);
    run_update_exchange(port_, source, everyone);

    BoxResult result = recorder.result();
    if (identity) result.box_id = identity->id();
    result.unique = source.pairs();
    if (source.sent() && job.job != nullptr) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "0x%08X", window_crc32(source.window()));
        result.box_crc32 = crc;
    }
    if (result.outcome == BoxOutcome::NumbersUsedUp) {
        if (source.failed()) result.outcome = BoxOutcome::NoNumbers;
        result.reason = source.refusal();
    } else if (result.outcome == BoxOutcome::Lost && cancelled()) {
        result.outcome = BoxOutcome::Interrupted;
        result.reason = "the station was stopped";
    } else if (result.outcome == BoxOutcome::Lost) {
        result.reason = problem();
    } else if (result.outcome == BoxOutcome::Completed && job.job != nullptr && job.job->boot_expect) {
        const double checking = monotonic_seconds();
        check_boot(front, result);
        // The box ends with its check.
        char ended[40];
        format_utc(std::chrono::system_clock::now(), ended, sizeof ended);
        result.ended = ended;
        result.seconds += monotonic_seconds() - checking;
    }
    if (source.took()) job.numbers->end(job.station, job.port, source.values(), outcome_word(result.outcome));
    return result;
}

// After the box's '@': its lines, unanswered, for up to the job's within_s,
// until one holds the expected text.
void Session::check_boot(SessionObserver& front, BoxResult& result) {
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
            result.outcome = cancelled() ? BoxOutcome::Interrupted : BoxOutcome::NoBoot;
            result.reason = cancelled() ? "the station was stopped" : "lost connection while checking the boot (" + problem() + ")";
            trace("boot: %s", result.reason.c_str());
            return;
        }
        if (got != PortRead::Byte || byte == '\0') continue;
        line += static_cast<char>(byte);
        if (line.find(expect) != std::string::npos && (byte == '\n' || line.size() >= DEVICE_LINE_MAX - 1)) {
            result.boot = without_line_end(line);
            trace("boot: \"%s\"", escaped_line(line.data(), line.size()).c_str());
            return;
        }
        if (byte == '\n' || line.size() >= DEVICE_LINE_MAX - 1) line.clear();
    }
    // A line still without its end counts if it holds the text.
    if (line.find(expect) != std::string::npos) {
        result.boot = without_line_end(line);
        trace("boot: \"%s\" (no line end)", escaped_line(line.data(), line.size()).c_str());
        return;
    }
    result.outcome = BoxOutcome::NoBoot;
    char reason[64];
    std::snprintf(reason, sizeof reason, "the boot text did not come within %.0f s", within);
    result.reason = reason;
    trace("boot: \"%s\" did not come within %.0f s", expect.c_str(), within);
}
