#include <cstdio>
#include <cstring>
#include <mutex>
#include <windows.h>

#include "console/terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

// Mutex rules: `drawing` guards use_titles, use_taskbar and pending, since
// the console's control handler puts the title back on a thread of its own
// while the front end may be drawing one: once put back, nothing is drawn.
std::mutex drawing;
bool use_titles = false;
bool use_taskbar = false;
bool pending = false;
char saved_title[1024] = "";
DWORD saved_mode = 0;

HANDLE stderr_handle() {
    return GetStdHandle(STD_ERROR_HANDLE);
}

bool is_console(HANDLE handle, DWORD& mode) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != FALSE;
}

void put_back() {  // `drawing` held
    if (!pending) return;
    pending = false;
    if (use_taskbar) {
        write_taskbar_sequence(TaskbarState::Clear, 0);
        SetConsoleMode(stderr_handle(), saved_mode);
    }
    if (use_titles) SetConsoleTitleA(saved_title);
    use_titles = false;
    use_taskbar = false;
}

// Runs on a thread of its own when Ctrl+C, Ctrl+Break or closing the window
// ends the process; FALSE lets the default handler end it as before.
BOOL WINAPI on_console_event(DWORD /*event*/) {
    const std::lock_guard<std::mutex> hold(drawing);
    put_back();
    return FALSE;
}

}  // namespace

TerminalSetup probe_terminal() {
    TerminalSetup setup{false, false, false, false, 80, false, false};
    DWORD out_mode = 0;
    DWORD err_mode = 0;
    setup.stdout_terminal = is_console(GetStdHandle(STD_OUTPUT_HANDLE), out_mode);
    setup.stderr_terminal = is_console(stderr_handle(), err_mode);
    if (!setup.stderr_terminal || progress_turned_off()) return setup;
    setup.progress = true;
    // A process has one console: two handles that are both consoles share it.
    setup.same_terminal = setup.stdout_terminal;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(stderr_handle(), &info)) setup.columns = info.srWindow.Right - info.srWindow.Left + 1;
    setup.titles = true;
    // Only a console that takes escape sequences may get OSC 9;4: the legacy
    // console (Windows 7 and 8 among them) refuses the mode and would print them.
    if (taskbar_known_from_environment() &&
        SetConsoleMode(stderr_handle(), err_mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE) {
        saved_mode = err_mode;
        setup.taskbar = true;
    }
    return setup;
}

void write_stderr(const char* text, std::size_t size) {
    std::fwrite(text, 1, size, stderr);
    std::fflush(stderr);
}

void terminal_begin(const TerminalSetup& setup, bool on_interrupt) {
    const std::lock_guard<std::mutex> hold(drawing);
    use_titles = setup.titles;
    use_taskbar = setup.taskbar;
    if (!use_titles && !use_taskbar) return;
    if (use_titles && GetConsoleTitleA(saved_title, sizeof saved_title) == 0) saved_title[0] = '\0';
    pending = true;
    if (on_interrupt) SetConsoleCtrlHandler(on_console_event, TRUE);
}

void terminal_title(const char* text) {
    const std::lock_guard<std::mutex> hold(drawing);
    if (use_titles) SetConsoleTitleA(text);
}

void terminal_taskbar(TaskbarState state, unsigned percent) {
    const std::lock_guard<std::mutex> hold(drawing);
    if (use_taskbar) write_taskbar_sequence(state, percent);
}

void terminal_restore_now() {
    const std::lock_guard<std::mutex> hold(drawing);
    put_back();
}

void terminal_end() {
    const std::lock_guard<std::mutex> hold(drawing);
    put_back();
    use_titles = false;
    use_taskbar = false;
}
