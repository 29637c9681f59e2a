#include <sys/ioctl.h>
#include <unistd.h>

#include "console/console.h"
#include "console/screen_block.h"

bool ScreenBlock::begin() {
    if (isatty(STDOUT_FILENO) != 1) return false;
    colours_ = colours_allowed();
    measure();
    return true;
}

void ScreenBlock::measure() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return;
    if (size.ws_col > 0) columns_ = size.ws_col;
    if (size.ws_row > 0) rows_ = size.ws_row;
}

void ScreenBlock::draw(const std::vector<ScreenLine>& lines) {
    std::string out;
    // Back to the first line: up as many lines as the last drawing left below it.
    if (drawn_ > 0) out += "\r\x1b[" + std::to_string(drawn_) + "A";
    // Never into the last column: a terminal that wraps there would scroll.
    const std::size_t width = columns_ > 1 ? static_cast<std::size_t>(columns_ - 1) : 1;
    for (const ScreenLine& line : lines) {
        out += coloured(line, width);
        out += "\x1b[K\r\n";  // the rest of an earlier, longer line erased
    }
    if (static_cast<int>(lines.size()) < drawn_) out += "\x1b[J";  // and the lines below, of a longer drawing
    drawn_ = static_cast<int>(lines.size());
    console_print("%s", out.c_str());
}

void ScreenBlock::print_line(const ScreenLine& line) {
    console_print("%s\r\n", coloured(line, line.text.size()).c_str());
}

void ScreenBlock::bell() {
    console_print("\a");
}

void ScreenBlock::write_line(const ScreenLine& /*line*/, std::size_t /*width*/) {}
