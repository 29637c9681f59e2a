#include <atomic>
#include <windows.h>

#include "console/interrupt.h"
#include "console/terminal.h"

namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> answered{false};

// Runs on a thread of its own. For Ctrl+C the process goes on and stops by
// itself, unless it is the second; closing the window ends the process once
// this returns, so it waits for the front end to finish (Windows allows some 5 s).
BOOL WINAPI on_console_event(DWORD event) {
    const bool close = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (interrupts.fetch_add(1) > 0 && !close) {
        terminal_restore_now();
        TerminateProcess(GetCurrentProcess(), INTERRUPTED_EXIT_STATUS);
    }
    if (close) {
        for (int waited = 0; waited < 4500 && !answered.load(); waited += 50) Sleep(50);
    }
    return TRUE;
}

}  // namespace

void catch_interrupts() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool interrupt_requested() {
    return interrupts.load() > 0;
}

void interrupt_answered() {
    answered.store(true);
}

void keep_interrupts_off_this_thread() {}
