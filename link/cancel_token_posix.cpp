// POSIX ports never block for long: their waits are polls of READ_INTERVAL_MS
// that look at the flag between them, so nothing has to be woken.
#include "link/cancel_token.h"

CancelToken::CancelToken() = default;

CancelToken::~CancelToken() = default;

void CancelToken::cancel() {
    cancelled_.store(true);
}

void CancelToken::rearm() {
    cancelled_.store(false);
}
