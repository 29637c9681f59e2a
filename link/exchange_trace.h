// The trace's account of one exchange: every line from the box and what it
// meant, each answer, the transfer with its time and rate, the confirmation
// and the final wait. Costs nothing when no trace is written.
#pragma once

#include "link/exchange_observer.h"

class ExchangeTrace final : public ExchangeObserver {
public:
    void box_line(const char* line, BoxLine meaning) override;
    void lines_dropped(unsigned long count) override;
    void answered(bool written) override;
    void transfer_started(std::uint32_t packets) override;
    void transfer_progress(std::uint32_t /*sent*/) override {}
    void transfer_ended(std::uint32_t sent, bool complete) override;
    void confirmation(const char* line) override;
    void flash_waiting(unsigned long bytes) override { flash_bytes_ = bytes; }
    void flash_turn(unsigned /*turn*/) override {}
    void finished(ExchangeResult result) override;

private:
    double transfer_start_ = 0.0;
    bool flash_wait_ = false;
    unsigned long flash_bytes_ = 0;
};
