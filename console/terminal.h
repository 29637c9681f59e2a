// What a person sees beyond the fixed messages: progress on the terminal's
// standard error, the window title and the terminal's own progress indicator
// (OSC 9;4: a ring in the tab, progress on the taskbar button). Nothing here
// writes to standard output, and nothing reaches a redirected standard error.
#pragma once

#include <cstddef>

struct TerminalSetup {
    bool stdout_terminal;  // standard output is a terminal (a console on Windows)
    bool stderr_terminal;  // standard error is one
    bool progress;         // progress may be shown there: not turned off by STBLOAD_PROGRESS=off
    bool same_terminal;    // both are the same one: the same tty device, the same console
    int columns;           // the width of standard error's terminal (80 when unknown)
    bool titles;           // its window title can be set and put back
    bool taskbar;          // it is known to show OSC 9;4 progress
};

// How the tool's output is attached. With STBLOAD_PROGRESS=off, `progress`,
// `titles` and `taskbar` are all false.
TerminalSetup probe_terminal();

// Writes to standard error as it is, at once.
void write_stderr(const char* text, std::size_t size);

enum class TaskbarState {
    Clear = 0,
    Normal = 1,         // with a percentage
    Failed = 2,         // the error colour
    Indeterminate = 3,  // busy, no percentage
};

// Starts using the window title and the taskbar indicator, as `setup` allows:
// saves the title, and with `on_interrupt` puts both back when the process is
// ended by Ctrl+C or a console close (a caller with its own handler passes
// false and calls terminal_end itself).
void terminal_begin(const TerminalSetup& setup, bool on_interrupt);

// From now on, when Ctrl+C (or a console close) ends the process, `text` is
// written to standard error first, after the title is put back: a run cut
// short says so. Installs the same handler terminal_begin's `on_interrupt`
// does, whatever the terminal allows. `text` is copied (up to 127 bytes).
void terminal_say_on_interrupt(const char* text);

// Sets the window title, if terminal_begin allowed titles.
void terminal_title(const char* text);

// Sets the taskbar indicator, if terminal_begin allowed it.
void terminal_taskbar(TaskbarState state, unsigned percent);

// Puts the title back and clears the indicator. Safe to call more than once.
void terminal_end();

// terminal_end() for a signal handler or a console event's thread, just
// before the process ends: only calls that are safe there.
void terminal_restore_now();

// Keys typed at the terminal that standard input is, read without waiting:
// echo and line editing are off from terminal_keys_begin() (false when
// standard input is no terminal, or no console on Windows) until
// terminal_keys_end(), which terminal_end() and terminal_restore_now() also
// do. terminal_keys_read() gives what was typed since the last call (up to
// `size` bytes: printable ASCII, '\r' for Enter, '\b' for a backspace,
// 0x1B for Escape), or -1 once standard input has ended.
bool terminal_keys_begin();
int terminal_keys_read(char* buffer, std::size_t size);
void terminal_keys_end();

// The part of probe_terminal() that does not depend on the platform: whether
// the environment names a terminal known to show OSC 9;4 progress.
bool taskbar_known_from_environment();
bool progress_turned_off();

// Writes the OSC 9;4 sequence for `state` to standard error, unasked.
void write_taskbar_sequence(TaskbarState state, unsigned percent);
