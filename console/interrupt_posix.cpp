#include <atomic>
#include <csignal>
#include <initializer_list>
#include <pthread.h>
#include <unistd.h>

#include "console/interrupt.h"
#include "console/terminal.h"

namespace {

std::atomic<int> interrupts{0};

extern "C" void on_interrupt(int /*signal_number*/) {
    if (interrupts.fetch_add(1) == 0) return;
    // The second: the operator will not wait for the ports to let go.
    terminal_restore_now();
    _exit(INTERRUPTED_EXIT_STATUS);
}

}  // namespace

void catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
}

bool interrupt_requested() {
    return interrupts.load() > 0;
}

void interrupt_answered() {}

void keep_interrupts_off_this_thread() {
    sigset_t interrupts_set;
    sigemptyset(&interrupts_set);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&interrupts_set, signal_number);
    pthread_sigmask(SIG_BLOCK, &interrupts_set, nullptr);
}
