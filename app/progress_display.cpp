#include "app/progress_display.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "console/figures.h"
#include "link/transfer_progress.h"

namespace {

// Redrawn at most this often (and, while the exchange reports, at least once
// a second: it reports every 256 image bytes and after every read).
constexpr double REDRAW_S = 0.25;

// The spinner's column on its line: "start transfer\t" and
// "writing flash, wait...\t" end at the tab stops 16 and 24.
constexpr int TRANSFER_COLUMN = 16;
constexpr int FLASH_COLUMN = 24;

}  // namespace

ProgressDisplay::ProgressDisplay(const char* port) : setup_(probe_terminal()) {
    std::snprintf(port_, sizeof port_, "%s", port);
    if (setup_.progress && setup_.same_terminal) {
        mode_ = Mode::AfterSpinner;
    } else if (setup_.progress) {
        mode_ = Mode::OwnLine;
    }
    terminal_begin(setup_, true);
    // Ctrl+C ends the download at once: its progress line is ended, and it says why it stopped.
    terminal_say_on_interrupt(setup_.stderr_terminal ? "\nstbload: interrupted\n" : "stbload: interrupted\n");
}

ProgressDisplay::~ProgressDisplay() {
    terminal_end();
}

void ProgressDisplay::title(const char* state) {
    char text[sizeof shown_title_];
    std::snprintf(text, sizeof text, "stbload %s %s", port_, state);
    if (std::strcmp(text, shown_title_) == 0) return;
    std::memcpy(shown_title_, text, sizeof text);
    terminal_title(text);
}

bool ProgressDisplay::due(double now) {
    if (last_draw_ >= 0 && now - last_draw_ < REDRAW_S) return false;
    last_draw_ = now;
    return true;
}

// After the spinner: the character under the cursor again (so the cursor
// moves on without changing it), the text, blanks over any longer text drawn
// before, and backspaces to the spinner's column. Without escape sequences,
// so the oldest Windows console shows it too. On a line of its own: a
// carriage return, the text and blanks.
void ProgressDisplay::show(const char* text, char cell) {
    std::size_t length = std::strlen(text);
    char out[256];
    std::size_t n = 0;
    if (mode_ == Mode::AfterSpinner) {
        // Never into the last column: a wrapped line cannot be backspaced over.
        const int room = setup_.columns - column_ - 2;
        if (room <= 0) return;
        if (length > static_cast<std::size_t>(room)) length = static_cast<std::size_t>(room);
        const std::size_t width = length > shown_ ? length : shown_;
        if (2 * width + 2 > sizeof out) return;
        out[n++] = cell;
        std::copy_n(text, length, out + n);
        n += length;
        for (std::size_t i = length; i < width; ++i) out[n++] = ' ';
        for (std::size_t i = 0; i <= width; ++i) out[n++] = '\b';
        shown_ = length;
        cell_ = cell;
    } else {
        const std::size_t room = setup_.columns > 1 ? static_cast<std::size_t>(setup_.columns - 1) : 0;
        if (length > room) length = room;
        const std::size_t width = length > shown_ ? length : shown_;
        if (width + 2 > sizeof out) return;
        out[n++] = '\r';
        std::copy_n(text, length, out + n);
        n += length;
        for (std::size_t i = length; i < width; ++i) out[n++] = ' ';
        shown_ = length;
    }
    write_stderr(out, n);
}

// Blanks over the text after the spinner, and the cursor back on it: the
// screen is then what it would be without any progress shown.
void ProgressDisplay::wipe() {
    if (mode_ != Mode::AfterSpinner || shown_ == 0) return;
    char out[256];
    std::size_t n = 0;
    out[n++] = cell_;
    for (std::size_t i = 0; i < shown_; ++i) out[n++] = ' ';
    for (std::size_t i = 0; i <= shown_; ++i) out[n++] = '\b';
    write_stderr(out, n);
    shown_ = 0;
}

// Ends a line of its own with its last state, so that it stays readable.
void ProgressDisplay::end_line(const char* text) {
    if (mode_ != Mode::OwnLine || shown_ == 0) return;
    if (text != nullptr) show(text, ' ');
    write_stderr("\n", 1);
    shown_ = 0;
}

void ProgressDisplay::waiting_for_box() {
    title("waiting for the box");
    terminal_taskbar(TaskbarState::Indeterminate, 0);
}

void ProgressDisplay::transfer_started(double now) {
    phase_start_ = now;
    last_draw_ = -1.0;
    column_ = TRANSFER_COLUMN;
}

void ProgressDisplay::transfer_progress(std::uint32_t sent, std::uint32_t total, double now, char cell) {
    if (!due(now)) return;
    const TransferFigures figures = transfer_figures(sent, total, now - phase_start_);
    char left[32];
    format_duration(figures.seconds_left, left, sizeof left);
    char text[96];
    if (mode_ != Mode::None) {
        std::snprintf(text, sizeof text, "%s%3u%%  %u/%u KiB  %s left", mode_ == Mode::OwnLine ? "sending " : "",
                      figures.percent, figures.kib_sent, figures.kib_total, left);
        show(text, cell);
    }
    std::snprintf(text, sizeof text, "%u%% %s left", figures.percent, left);
    title(text);
    if (figures.percent != last_percent_) {
        last_percent_ = figures.percent;
        terminal_taskbar(TaskbarState::Normal, figures.percent);
    }
}

void ProgressDisplay::transfer_ended(std::uint32_t sent, std::uint32_t total, bool complete, double now) {
    wipe();
    if (mode_ == Mode::OwnLine && shown_ > 0) {
        const TransferFigures figures = transfer_figures(sent, total, now - phase_start_);
        char took[32];
        format_duration(now - phase_start_, took, sizeof took);
        char text[96];
        std::snprintf(text, sizeof text, "%s %3u%%  %u/%u KiB in %s", complete ? "sent" : "stopped at",
                      figures.percent, figures.kib_sent, figures.kib_total, took);
        end_line(text);
    }
}

void ProgressDisplay::flash_wait_started(double now) {
    phase_start_ = now;
    last_draw_ = -1.0;
    column_ = FLASH_COLUMN;
    terminal_taskbar(TaskbarState::Indeterminate, 0);
}

void ProgressDisplay::flash_waiting(double now, char cell) {
    if (!due(now)) return;
    const auto seconds = static_cast<unsigned long>(now - phase_start_);
    char text[64];
    if (mode_ != Mode::None) {
        std::snprintf(text, sizeof text, mode_ == Mode::OwnLine ? "writing flash, waited %lu s" : " %lu s", seconds);
        show(text, cell);
    }
    std::snprintf(text, sizeof text, "writing flash %lu s", seconds);
    title(text);
}

void ProgressDisplay::finished(bool completed) {
    wipe();
    end_line(nullptr);
    title(completed ? "done" : "failed");
    // Cleared at exit, like the title put back.
    if (!completed) terminal_taskbar(TaskbarState::Failed, 0);
}

void ProgressDisplay::boot_check() {
    title("checking boot");
    terminal_taskbar(TaskbarState::Indeterminate, 0);
}
