#include <cstdio>
#include <cstring>
#include <windows.h>

#include "console/terminal.h"
#include "console/thread_safety.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

// Mutex rules: `drawing` guards every variable below it, since
// the console's control handler puts the title back on a thread of its own
// while the front end may be drawing one: once put back, nothing is drawn.
Mutex drawing;
bool use_titles GUARDED_BY(drawing) = false;
bool use_taskbar GUARDED_BY(drawing) = false;
bool pending GUARDED_BY(drawing) = false;
char saved_title[1024] GUARDED_BY(drawing) = "";
DWORD saved_mode GUARDED_BY(drawing) = 0;

HANDLE stderr_handle() {
    return GetStdHandle(STD_ERROR_HANDLE);
}

bool is_console(HANDLE handle, DWORD& mode) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != FALSE;
}

// Standard input's console mode while its keys are read, to put back.
DWORD keys_saved GUARDED_BY(drawing) = 0;
bool keys_pending GUARDED_BY(drawing) = false;

void keys_put_back() REQUIRES(drawing) {
    if (!keys_pending) return;
    keys_pending = false;
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), keys_saved);
}

void put_back() REQUIRES(drawing) {
    keys_put_back();
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

// What an interrupt says on standard error before the process ends (`drawing` held).
char interrupt_note[128] GUARDED_BY(drawing);
DWORD interrupt_note_size GUARDED_BY(drawing) = 0;

// Runs on a thread of its own when Ctrl+C, Ctrl+Break or closing the window
// ends the process; FALSE lets the default handler end it as before.
BOOL WINAPI on_console_event(DWORD /*event*/) {
    const MutexLock hold(drawing);
    if (interrupt_note_size > 0) {
        DWORD written = 0;
        WriteFile(stderr_handle(), interrupt_note, interrupt_note_size, &written, nullptr);
    }
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
        const MutexLock hold(drawing);
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
    const MutexLock hold(drawing);
    use_titles = setup.titles;
    use_taskbar = setup.taskbar;
    if (!use_titles && !use_taskbar) return;
    if (use_titles && GetConsoleTitleA(saved_title, sizeof saved_title) == 0) saved_title[0] = '\0';
    pending = true;
    if (on_interrupt) SetConsoleCtrlHandler(on_console_event, TRUE);
}

void terminal_title(const char* text) {
    const MutexLock hold(drawing);
    if (use_titles) SetConsoleTitleA(text);
}

void terminal_taskbar(TaskbarState state, unsigned percent) {
    const MutexLock hold(drawing);
    if (use_taskbar) write_taskbar_sequence(state, percent);
}

void terminal_say_on_interrupt(const char* text) {
    {
        const MutexLock hold(drawing);
        const int written = std::snprintf(interrupt_note, sizeof interrupt_note, "%s", text);
        interrupt_note_size = written < 0 ? 0 : static_cast<DWORD>(std::strlen(interrupt_note));
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void terminal_restore_now() {
    const MutexLock hold(drawing);
    put_back();
}

void terminal_end() {
    const MutexLock hold(drawing);
    put_back();
    use_titles = false;
    use_taskbar = false;
}

bool terminal_keys_begin() {
    const MutexLock hold(drawing);
    if (keys_pending) return true;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!is_console(in, keys_saved)) return false;
    // Processed input stays: Ctrl+C is still an interrupt.
    if (!SetConsoleMode(in, keys_saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT))) return false;
    keys_pending = true;
    return true;
}

int terminal_keys_read(char* buffer, std::size_t size) {
    {
        const MutexLock hold(drawing);
        if (!keys_pending) return -1;
    }
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    int kept = 0;
    DWORD waiting = 0;
    while (static_cast<std::size_t>(kept) < size && GetNumberOfConsoleInputEvents(in, &waiting) && waiting > 0) {
        INPUT_RECORD record{};
        DWORD got = 0;
        if (!ReadConsoleInputA(in, &record, 1, &got) || got == 0) return kept;
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
        const char c = record.Event.KeyEvent.uChar.AsciiChar;
        if (c == '\0') continue;  // a key without a character: Shift, an arrow
        for (WORD n = 0; n < record.Event.KeyEvent.wRepeatCount && static_cast<std::size_t>(kept) < size; ++n) {
            buffer[kept++] = c == '\n' ? '\r' : c;
        }
    }
    return kept;
}

void terminal_keys_end() {
    const MutexLock hold(drawing);
    keys_put_back();
}
