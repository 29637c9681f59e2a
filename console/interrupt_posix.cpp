#include <atomic>
#include <csignal>
#include <initializer_list>

#include "console/interrupt.h"

namespace {

std::atomic<bool> requested{false};

extern "C" void on_interrupt(int /*signal_number*/) {
    requested.store(true);
}

}  // namespace

void catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

bool interrupt_requested() {
    return requested.load();
}

void interrupt_answered() {}
