// A synchronous WriteFile on a port whose flow control holds the line waits
// until the line moves: another thread breaks it with CancelSynchronousIo.
#include <windows.h>

#include "link/cancel_token.h"

namespace {

HANDLE as_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

CancelToken::~CancelToken() {
    if (thread_ != 0) CloseHandle(as_handle(thread_));
}

void CancelToken::cancel() {
    cancelled_.store(true);
    const std::lock_guard<std::mutex> hold(lock_);
    if (in_call_) CancelSynchronousIo(as_handle(thread_));
}

void CancelToken::enter_call() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (thread_ == 0) {
        // A port's calls come from one thread: its handle is made once.
        // GetCurrentThread() names whichever thread uses it: the canceller needs a real handle.
        HANDLE self = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, THREAD_TERMINATE,
                             FALSE, 0)) {
            return;
        }
        thread_ = reinterpret_cast<std::intptr_t>(self);
    }
    in_call_ = true;
}

void CancelToken::leave_call() {
    const std::lock_guard<std::mutex> hold(lock_);
    in_call_ = false;
}
