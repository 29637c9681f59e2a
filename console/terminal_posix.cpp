#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "console/environment.h"
#include "console/terminal.h"

namespace {

// What the title and the indicator take back at the end, ready to be written
// by a signal handler: the title from xterm's title stack, the indicator cleared.
char restore[64];
std::size_t restore_size = 0;
volatile std::sig_atomic_t restore_pending = 0;
bool use_titles = false;
bool use_taskbar = false;

void write_all(int fd, const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, text, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Standard input's settings while its keys are read, to put back (also from a signal handler).
termios keys_saved{};
volatile std::sig_atomic_t keys_pending = 0;

void keys_put_back() {
    if (keys_pending == 0) return;
    keys_pending = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &keys_saved);  // async-signal-safe
}

void put_back() {
    keys_put_back();
    if (restore_pending == 0) return;
    restore_pending = 0;
    write_all(STDERR_FILENO, restore, restore_size);
}

constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What an interrupt says on standard error before the process ends.
char interrupt_note[128];
volatile std::size_t interrupt_note_size = 0;

extern "C" void on_interrupt_signal(int signal_number) {
    write_all(STDERR_FILENO, interrupt_note, interrupt_note_size);
    put_back();
    // Ends the process as the signal would have: the same exit status.
    std::signal(signal_number, SIG_DFL);  // NOLINT(cert-msc54-cpp): only async-signal-safe calls here
    std::raise(signal_number);
}

void handle_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_interrupt_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : INTERRUPTS) {
        struct sigaction old {};
        // A signal that was ignored when the tool started (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
}

void append(const char* text) {
    const std::size_t size = std::strlen(text);
    if (restore_size + size > sizeof restore) return;
    std::copy_n(text, size, restore + restore_size);
    restore_size += size;
}

}  // namespace

TerminalSetup probe_terminal() {
    TerminalSetup setup{false, false, false, false, 80, false, false};
    setup.stdout_terminal = isatty(STDOUT_FILENO) == 1;
    setup.stderr_terminal = isatty(STDERR_FILENO) == 1;
    if (!setup.stderr_terminal || progress_turned_off()) return setup;
    setup.progress = true;
    struct stat out {}, err {};
    setup.same_terminal = setup.stdout_terminal && fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
                          out.st_rdev == err.st_rdev;
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) setup.columns = size.ws_col;
    const char* term = environment_value("TERM");
    setup.titles = term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
    setup.taskbar = taskbar_known_from_environment();
    return setup;
}

void write_stderr(const char* text, std::size_t size) {
    std::fflush(stderr);
    write_all(STDERR_FILENO, text, size);
}

void terminal_begin(const TerminalSetup& setup, bool on_interrupt) {
    use_titles = setup.titles;
    use_taskbar = setup.taskbar;
    if (!use_titles && !use_taskbar) return;
    restore_size = 0;
    if (use_titles) {
        write_stderr("\x1b[22;0t", 7);  // push the title on xterm's stack
        append("\x1b[23;0t");
    }
    if (use_taskbar) append("\x1b]9;4;0;0\x1b\\");
    restore_pending = 1;
    if (on_interrupt) handle_interrupts();
}

void terminal_say_on_interrupt(const char* text) {
    const std::size_t size = std::min(std::strlen(text), sizeof interrupt_note);
    std::copy_n(text, size, interrupt_note);
    interrupt_note_size = size;
    handle_interrupts();
}

void terminal_title(const char* text) {
    if (!use_titles) return;
    char sequence[300];
    const int n = std::snprintf(sequence, sizeof sequence, "\x1b]2;%s\x07", text);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof sequence) write_stderr(sequence, static_cast<std::size_t>(n));
}

void terminal_taskbar(TaskbarState state, unsigned percent) {
    if (use_taskbar) write_taskbar_sequence(state, percent);
}

void terminal_restore_now() {
    put_back();
}

bool terminal_keys_begin() {
    if (keys_pending != 0) return true;
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &keys_saved) != 0) return false;
    termios keys = keys_saved;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl+C is still an interrupt
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) return false;
    keys_pending = 1;
    return true;
}

int terminal_keys_read(char* buffer, std::size_t size) {
    if (keys_pending == 0) return -1;
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) return 0;
    if ((ready.revents & POLLIN) == 0) return (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? -1 : 0;
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n < 0) return errno == EINTR || errno == EAGAIN ? 0 : -1;
    if (n == 0) return -1;
    int kept = 0;
    for (ssize_t i = 0; i < n; ++i) {
        char c = buffer[i];
        if (c == '\n') c = '\r';
        if (c == 0x7F) c = '\b';
        buffer[kept++] = c;
    }
    return kept;
}

void terminal_keys_end() {
    keys_put_back();
}

void terminal_end() {
    std::fflush(stderr);
    put_back();  // the keys' settings too
    use_titles = false;
    use_taskbar = false;
}
