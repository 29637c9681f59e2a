// What a single download shows of its exchange with the box: the fixed
// console messages and spinners on standard output, byte for byte, with the
// progress display beside them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "app/progress_display.h"
#include "session/session_observer.h"

// The spinner's characters, turning: backslash, bar, slash, hyphen.
constexpr char SPINNER_CHARS[] = "\\|/-";

// Prints SPINNER_CHARS[n & 3] and a backspace, so the next output overwrites it.
void show_spinner(unsigned n);

class ExchangeConsole final : public SessionObserver {
public:
    // `boot_expect`: under a job that asks for proof of the boot, its text.
    explicit ExchangeConsole(ProgressDisplay& progress, std::string boot_expect = std::string())
        : progress_(progress), boot_expect_(std::move(boot_expect)) {}

    void box_line(const char* line, BoxLine meaning) override;
    void answered(bool written) override;
    void transfer_started(std::uint32_t packets) override;
    void transfer_progress(std::uint32_t sent) override;
    void transfer_ended(std::uint32_t sent, bool complete) override;
    void confirmation(const char* line) override;
    void flash_waiting(unsigned long bytes) override;
    void flash_turn(unsigned turn) override;
    void finished(ExchangeResult result) override;
    // Under a job, on standard error when it is a terminal: the box's
    // numbers, and what the boot check waits for.
    void numbers_taken(const std::string& pairs, double waited_s) override;
    void boot_check_started(double within_s) override;
    // Under the line's database, on standard error, once for each reason:
    // the box asked, and waits for numbers.
    void numbers_waiting(const std::string& reason) override;

    // How long the transfer took, in seconds, once it is over.
    double transfer_seconds() const { return transfer_end_ - transfer_start_; }

private:
    void show_transfer_spinner(std::uint32_t packets);

    ProgressDisplay& progress_;
    std::string boot_expect_;
    std::string waiting_;              // the reason last shown for waiting for numbers
    std::uint32_t packets_ = 0;        // packets in the transfer
    std::uint32_t spinner_steps_ = 0;  // transfer spinner steps printed: one per packet begun
    char cell_ = ' ';                  // the character under the cursor
    double transfer_start_ = 0.0;
    double transfer_end_ = 0.0;
};
