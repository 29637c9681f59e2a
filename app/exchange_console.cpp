#include "app/exchange_console.h"

#include "console/clock.h"
#include "console/console.h"
#include "image/hex_image.h"

void show_spinner(unsigned n) {
    console_print("%c\b", SPINNER_CHARS[n & 3]);
}

void ExchangeConsole::box_line(const char* /*line*/, BoxLine meaning) {
    if (meaning == BoxLine::EraseStarted) console_print("Slave ready\r\n");
}

void ExchangeConsole::answered(bool /*written*/) {
    console_print("Slave machine update request\r\n");
}

void ExchangeConsole::transfer_started(std::uint32_t packets) {
    packets_ = packets;
    spinner_steps_ = 0;
    console_print("Slave request data\r\n");
    console_print("start transfer\t");
    transfer_start_ = monotonic_seconds();
    progress_.transfer_started(transfer_start_);
}

// The transfer's spinner is one character and a backspace for each packet,
// the character turning every 256 image bytes (16 packets). Writing the same
// character over itself changes nothing on the screen, and 64,512 two-byte
// writes would cost more than the packets do, so the steps are printed in one
// write each time the character changes: the screen shows each change at the
// moment it happens, and the console gets the same bytes.
void ExchangeConsole::show_transfer_spinner(std::uint32_t packets) {
    char text[2 * PACKETS_PER_REPORT];
    std::size_t length = 0;
    for (; spinner_steps_ < packets; ++spinner_steps_) {
        if (length == sizeof text) {
            console_print("%.*s", static_cast<int>(length), text);
            length = 0;
        }
        cell_ = SPINNER_CHARS[((IMAGE_BASE + spinner_steps_ * 16) >> 8) & 3];
        text[length++] = cell_;
        text[length++] = '\b';
    }
    if (length > 0) console_print("%.*s", static_cast<int>(length), text);
}

void ExchangeConsole::transfer_progress(std::uint32_t sent) {
    // The packet about to be written has its step too.
    show_transfer_spinner(sent + 1);
    progress_.transfer_progress(sent, packets_, monotonic_seconds(), cell_);
}

void ExchangeConsole::transfer_ended(std::uint32_t sent, bool complete) {
    transfer_end_ = monotonic_seconds();
    show_transfer_spinner(complete ? sent : sent + 1);
    progress_.transfer_ended(sent, packets_, complete, transfer_end_);
    if (complete) console_print("\b done");
}

void ExchangeConsole::confirmation(const char* /*line*/) {
    console_print("\r\nwriting flash, wait...\t");
    cell_ = ' ';
    progress_.flash_wait_started(monotonic_seconds());
}

void ExchangeConsole::flash_waiting(unsigned long /*bytes*/) {
    progress_.flash_waiting(monotonic_seconds(), cell_);
}

void ExchangeConsole::flash_turn(unsigned turn) {
    show_spinner(turn);
    cell_ = SPINNER_CHARS[turn & 3];
}

void ExchangeConsole::finished(ExchangeResult result) {
    progress_.finished(result == ExchangeResult::Completed);
    if (result == ExchangeResult::Completed) console_print("Download completed\r\n");
}

void ExchangeConsole::numbers_taken(const std::string& pairs, double waited_s) {
    if (!waiting_.empty()) console_note("numbers at hand after %.1f s: the box is answered", waited_s);
    if (progress_.on_terminal()) console_note("this box: %s", pairs.c_str());
}

void ExchangeConsole::numbers_waiting(const std::string& reason) {
    if (reason == waiting_) return;
    waiting_ = reason;
    console_note("waiting for numbers: %s (the box is answered as soon as values are at hand)", reason.c_str());
}

void ExchangeConsole::boot_check_started(double within_s) {
    progress_.boot_check();
    if (progress_.on_terminal()) {
        console_note("waiting up to %.0f s for the box to show \"%s\"", within_s, boot_expect_.c_str());
    }
}
