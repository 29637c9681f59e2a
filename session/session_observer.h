// What a front end hears of a session's box: every step of the exchange
// (each has a default that does nothing, so a front end takes only what it
// shows) and the moment the box started.
#pragma once

#include <string>

#include "link/exchange_observer.h"

class SessionObserver : public ExchangeObserver {
public:
    // The box has started: its loader's first line (the update request or
    // either erase line) came. Reported before that line itself.
    virtual void box_started() {}
    // Under a job: the box's numbers, taken (on the disk) before it is
    // answered ("serial=STB000000123 mac=00:1A:2B:00:00:07"), after waiting
    // `waited_s` seconds for them (0: none).
    virtual void numbers_taken(const std::string& /*pairs*/, double /*waited_s*/) {}
    // Under the line's database: the box asked for its update, and its
    // request is held until values of a lease are at hand ("database
    // unreachable"); reported again when the reason changes.
    virtual void numbers_waiting(const std::string& /*reason*/) {}
    // Under a job with [identity]: the box's own number, from its loader's line.
    virtual void box_named(const std::string& /*id*/) {}
    // Under a job that asks for proof of the boot: the wait for its text
    // began, and `waited` seconds of it have passed (reported about once a second).
    virtual void boot_check_started(double /*within_s*/) {}
    virtual void boot_waiting(double /*waited*/) {}

    void box_line(const char* /*line*/, BoxLine /*meaning*/) override {}
    void lines_dropped(unsigned long /*count*/) override {}
    void answered(bool /*written*/) override {}
    void transfer_started(std::uint32_t /*packets*/) override {}
    void transfer_progress(std::uint32_t /*sent*/) override {}
    void transfer_ended(std::uint32_t /*sent*/, bool /*complete*/) override {}
    void confirmation(const char* /*line*/) override {}
    void flash_waiting(unsigned long /*bytes*/) override {}
    void flash_turn(unsigned /*turn*/) override {}
    void finished(ExchangeResult /*result*/) override {}

protected:
    ~SessionObserver() = default;
};
