// Where a download stands, for the person at the screen: after the spinner on
// a terminal that shows the messages too, or as a line of its own on a
// terminal that shows only standard error; the window title; the terminal's
// progress indicator. Standard output is never touched, and a redirected
// standard error gets nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/terminal.h"

class ProgressDisplay {
public:
    // `port` names the port in the window title: "COM3", "/dev/ttyUSB0".
    explicit ProgressDisplay(const char* port);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Standard error is a terminal (and progress is not turned off).
    bool on_terminal() const { return setup_.stderr_terminal; }

    void waiting_for_box();
    // The transfer: `cell` is the character under the cursor (the spinner's).
    void transfer_started(double now);
    void transfer_progress(std::uint32_t sent, std::uint32_t total, double now, char cell);
    void transfer_ended(std::uint32_t sent, std::uint32_t total, bool complete, double now);
    // The wait for the flash write, shown as the seconds waited.
    void flash_wait_started(double now);
    void flash_waiting(double now, char cell);
    // Wipes what is shown; the title says done or failed.
    void finished(bool completed);
    // Under a job: the title says the box's boot is being checked.
    void boot_check();

private:
    enum class Mode { None, AfterSpinner, OwnLine };

    bool due(double now);
    void show(const char* text, char cell);
    void wipe();
    void end_line(const char* text);
    void title(const char* state);

    TerminalSetup setup_{};
    Mode mode_ = Mode::None;
    char port_[64] = "";
    char shown_title_[192] = "";
    std::size_t shown_ = 0;  // characters of progress text on the screen
    char cell_ = ' ';        // the character under the cursor when it was drawn
    int column_ = 0;         // the cursor's column while it is shown
    double phase_start_ = 0.0;
    double last_draw_ = -1.0;
    unsigned last_percent_ = 101;
};
