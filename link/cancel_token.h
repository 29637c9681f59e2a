// A request, from another thread, that a port's waits end: the port's reads
// and writes see it within about READ_INTERVAL_MS and give up as if the
// device had gone (a station's first Ctrl+C ends every box this way), a
// write that the line holds back included.
//
// Mutex rules: none needed. `cancelled_` is atomic; `event_` is made by the
// constructor and only read after it (setting a Windows event is safe from
// any thread).
#pragma once

#include <atomic>
#include <cstdint>

class CancelToken {
public:
    CancelToken();
    ~CancelToken();  // NOLINT(performance-trivially-destructible): Windows closes its event here
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // Asks the waits to end; they stay ended until rearm().
    void cancel();
    // The waits wait again: for a port whose box was ended on purpose (one
    // port reset by the operator) and that goes on to the next box. Called by
    // the port's own thread between boxes.
    void rearm();
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    // Windows: a manual-reset event, set by cancel(), that a port's
    // overlapped calls wait on beside their own. 0 elsewhere.
    std::intptr_t event() const { return event_; }

private:
    std::atomic<bool> cancelled_{false};
    std::intptr_t event_ = 0;
};
