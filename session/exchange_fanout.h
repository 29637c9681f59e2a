// One observer that hands every report of the exchange to several, in the
// order given: the trace, the box's record and the front end each hear all
// of it, and none forwards by hand.
#pragma once

#include <array>
#include <cstddef>

#include "link/exchange_observer.h"

class ExchangeFanout final : public ExchangeObserver {
public:
    static constexpr std::size_t MAX = 4;

    ExchangeFanout(std::initializer_list<ExchangeObserver*> observers) {
        for (ExchangeObserver* observer : observers) {
            if (observer != nullptr && count_ < MAX) observers_[count_++] = observer;
        }
    }

    void box_line(const char* line, BoxLine meaning) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->box_line(line, meaning);
    }
    void lines_dropped(unsigned long count) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->lines_dropped(count);
    }
    void answered(bool written) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->answered(written);
    }
    void transfer_started(std::uint32_t packets) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->transfer_started(packets);
    }
    void transfer_progress(std::uint32_t sent) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->transfer_progress(sent);
    }
    void transfer_ended(std::uint32_t sent, bool complete) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->transfer_ended(sent, complete);
    }
    void confirmation(const char* line) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->confirmation(line);
    }
    void flash_waiting(unsigned long bytes) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->flash_waiting(bytes);
    }
    void flash_turn(unsigned turn) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->flash_turn(turn);
    }
    void finished(ExchangeResult result) override {
        for (std::size_t i = 0; i < count_; ++i) observers_[i]->finished(result);
    }

private:
    std::array<ExchangeObserver*, MAX> observers_{};
    std::size_t count_ = 0;
};
