#include "console/clock.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "console/thread_safety.h"

namespace {

// gmtime's result is shared by the whole process: one caller at a time.
Mutex gmtime_lock;  // innermost of every lock (console/thread_safety.h)

}  // namespace

void format_utc(std::chrono::system_clock::time_point when, char* text, std::size_t size) {
    using std::chrono::system_clock;
    const std::time_t seconds = system_clock::to_time_t(when);
    const long long milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    char stamp[32] = "";
    {
        const MutexLock hold(gmtime_lock);
        if (const std::tm* utc = std::gmtime(&seconds)) {  // NOLINT(concurrency-mt-unsafe): under gmtime_lock
            std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", utc);
        }
    }
    std::snprintf(text, size, "%s.%03lldZ", stamp, milliseconds);
}


std::string utc_now() {
    char text[40];
    format_utc(std::chrono::system_clock::now(), text, sizeof text);
    return text;
}

double monotonic_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
