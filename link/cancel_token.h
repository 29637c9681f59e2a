// A request, from another thread, that a port's waits end: the port's reads
// and writes see it within about READ_INTERVAL_MS and give up as if the
// device had gone (a station's first Ctrl+C ends every box this way).
//
// Mutex rules: `cancelled_` is atomic and needs no lock; `lock_` guards
// `thread_` and `in_call_`: the thread that makes the port's calls, and
// whether it is inside one that cancel() may have to break (Windows only: a
// WriteFile held by flow control waits for no one). A token serves the
// calls of one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class CancelToken {
public:
    CancelToken() = default;
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // Asks the waits to end, and breaks a call that blocks. Call it again
    // until the port's thread has finished: a call that comes just before
    // the thread enters its blocking call cannot break it.
    void cancel();
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    // Around a call that may block: the calling thread may be broken out of
    // it. A break that comes between calls ends nothing.
    void enter_call();
    void leave_call();

private:
    std::atomic<bool> cancelled_{false};
    std::mutex lock_;
    std::intptr_t thread_ = 0;  // a handle to the thread that makes the calls; 0 until its first
    bool in_call_ = false;
};

// enter_call() and leave_call() for one scope.
class CancellableCall {
public:
    explicit CancellableCall(CancelToken* token) : token_(token) {
        if (token_ != nullptr) token_->enter_call();
    }
    ~CancellableCall() {
        if (token_ != nullptr) token_->leave_call();
    }
    CancellableCall(const CancellableCall&) = delete;
    CancellableCall& operator=(const CancellableCall&) = delete;

private:
    CancelToken* token_;
};
