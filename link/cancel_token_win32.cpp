// A port's calls are overlapped and wait on their own event and this one:
// setting it ends a WriteFile that flow control holds, which a synchronous
// call would not let go of.
#include <windows.h>

#include "link/cancel_token.h"

CancelToken::CancelToken() {
    event_ = reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

CancelToken::~CancelToken() {
    if (event_ != 0) CloseHandle(reinterpret_cast<HANDLE>(event_));  // NOLINT(performance-no-int-to-ptr)
}

void CancelToken::cancel() {
    cancelled_.store(true);
    if (event_ != 0) SetEvent(reinterpret_cast<HANDLE>(event_));  // NOLINT(performance-no-int-to-ptr)
}

void CancelToken::rearm() {
    cancelled_.store(false);
    if (event_ != 0) ResetEvent(reinterpret_cast<HANDLE>(event_));  // NOLINT(performance-no-int-to-ptr)
}
