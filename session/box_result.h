// What became of one box: how it ended, when, how long each phase took and
// how much of the image went out. Recorded from the exchange's reports.
#pragma once

#include <cstdint>
#include <string>

#include "records/box_record.h"
#include "session/session_observer.h"

enum class BoxOutcome {
    NotStarted,     // no loader line came: no box (noise, or a port lost while idle)
    Completed,      // the box confirmed its flash write (and, under a job that asks, showed its boot)
    Lost,           // the box or its line went away part way
    Interrupted,    // the session was stopped (a station's Ctrl+C)
    NoBoot,         // the flash was written, but the job's boot text did not come in time
    NumbersUsedUp,  // a range of the job's numbers is used up: the box was not answered
    NoNumbers,      // the journal of the job's numbers could not be written: the box was not answered
    TimedOut,       // a station's limit: the box took no data for the stall limit, or its flash write ran past its limit
    Reset,          // the operator reset the port while the box was under way
    NotApproved,    // the job's approval was revoked while the station ran: the box was not answered
};

struct BoxResult {
    BoxOutcome outcome = BoxOutcome::NotStarted;
    std::string started;  // UTC, ISO 8601 with milliseconds: the first loader line
    std::string ended;
    double seconds = 0;   // from the first loader line to the end
    double erase_s = -1;  // each phase's seconds (to the box's end if it broke off there);
    double transfer_s = -1;  // negative: the box did not reach it
    double flash_write_s = -1;
    unsigned long bytes_sent = 0;  // image bytes written to the wire
    std::string reason;            // for a failure: why, in words
    // Under a job:
    std::string box_id;            // the box's own number, from its loader's line
    std::string unique;            // its numbers: "serial=STB000000123 mac=00:1A:2B:00:00:07"
    std::string box_crc32;         // 0x%08X of the bytes it was sent, its numbers included
    std::string boot;              // the line that proved its boot
};

// Everything that decides how a box ended, as the session gathers it.
struct BoxEnd {
    bool started = false;                           // a loader line came: a box
    ExchangeResult exchange = ExchangeResult::Lost; // how the exchange ended
    enum class Request { None, Reset, Stop };
    Request request = Request::None;                // the operator reset the port, or the station stopped
    std::string port_problem;                       // the port's words for a loss
    bool stalled = false;                           // the port took no data for the stall limit
    bool numbers_failed = false;                    // refused: the journal could not be written (else: used up)
    bool not_approved = false;                      // refused: the job is no longer approved
    std::string refusal;                            // refused: why
    double flash_write_max_s = 0;                   // the limit a flash write ran past
    enum class Boot { NotAsked, Shown, NotShown, Lost };
    Boot boot = Boot::NotAsked;                     // under a job that asks for proof of the boot
    double boot_within_s = 0;
    std::string waiting;                            // the box waited for numbers and was never answered: why
};

// The box's outcome and its reason, decided here alone.
void decide_outcome(const BoxEnd& end, BoxResult& result);

// A box's result in the record's columns (the rest are the caller's).
void take_result(BoxRecord& record, const BoxResult& result);

// Whether the box counts as failed (every end but completed and interrupted).
bool outcome_failed(BoxOutcome outcome);

// The words for an outcome in the log: "completed", "lost connection",
// "interrupted", "no boot message", "numbers used up", "no numbers", "timed
// out", "reset".
const char* outcome_word(BoxOutcome outcome);

// Follows one box's exchange: decides when the box started (its first loader
// line; noise before it is no box), and times its phases.
class BoxRecorder final : public ExchangeObserver {
public:
    // `front` hears box_started() at the moment the box starts.
    explicit BoxRecorder(SessionObserver& front) : front_(front) {}

    void box_line(const char* line, BoxLine meaning) override;
    void lines_dropped(unsigned long /*count*/) override {}
    void answered(bool written) override;
    void transfer_started(std::uint32_t packets) override;
    void transfer_progress(std::uint32_t /*sent*/) override {}
    void transfer_ended(std::uint32_t sent, bool complete) override;
    void confirmation(const char* line) override;
    void flash_waiting(unsigned long /*bytes*/) override {}
    void flash_turn(unsigned /*turn*/) override {}
    void finished(ExchangeResult result) override;

    bool started() const { return started_; }
    // The box's record, its outcome left to decide_outcome(); the session
    // sets the rest (the job's columns).
    BoxResult result() const;
    ExchangeResult ended() const { return ended_; }

private:
    void start();
    double phase(double from, double to) const;

    SessionObserver& front_;
    bool started_ = false;
    std::string started_at_;
    double box_start_ = 0;
    double erase_start_ = -1;
    double erase_end_ = -1;
    double transfer_start_ = -1;
    double transfer_end_ = -1;
    double flash_start_ = -1;
    double end_ = -1;
    ExchangeResult ended_ = ExchangeResult::Lost;
    std::uint32_t sent_ = 0;
};
