#include <windows.h>

#include "console/console.h"
#include "console/screen_block.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool ScreenBlock::begin() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
    measure();
    // Windows 10 and later take escape sequences once asked; the legacy
    // console refuses, and gets its cursor moved through the console API.
    console_api_ = SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == FALSE;
    return true;
}

void ScreenBlock::measure() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return;
    columns_ = info.srWindow.Right - info.srWindow.Left + 1;
    rows_ = info.srWindow.Bottom - info.srWindow.Top + 1;
}

void ScreenBlock::draw(const std::vector<std::string>& lines) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::size_t width = columns_ > 1 ? static_cast<std::size_t>(columns_ - 1) : 1;
    const int count = static_cast<int>(lines.size());
    const int previous = drawn_;
    const int written = count > previous ? count : previous;  // lines written over, blank ones included
    std::string text;
    if (console_api_) {
        if (previous > 0) SetConsoleCursorPosition(out, COORD{0, static_cast<SHORT>(top_row_)});
        // Each line padded with blanks over what was there before, and blank
        // lines over the rest of a longer drawing (the cursor then goes back).
        for (int i = 0; i < written; ++i) {
            std::string cut = i < count ? lines[static_cast<std::size_t>(i)] : std::string();
            if (cut.size() > width) cut.resize(width);
            cut.resize(width, ' ');
            text += cut + "\r\n";
        }
    } else {
        if (previous > 0) text += "\r\x1b[" + std::to_string(previous) + "A";
        for (const std::string& line : lines) text += (line.size() > width ? line.substr(0, width) : line) + "\x1b[K\r\n";
        if (count < previous) text += "\x1b[J";
    }
    console_print("%s", text.c_str());
    if (console_api_) {
        // The buffer may have scrolled under the first drawing: the block ends
        // where the cursor is now.
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (GetConsoleScreenBufferInfo(out, &info)) {
            top_row_ = info.dwCursorPosition.Y - written;
            if (previous > count) SetConsoleCursorPosition(out, COORD{0, static_cast<SHORT>(top_row_ + count)});
        }
    }
    drawn_ = count;
}
