#include <windows.h>

#include "console/console.h"
#include "console/screen_block.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

// A colour in the console's attributes, on the console's own background.
WORD attribute_of(Colour colour, WORD normal) {
    const WORD background = normal & 0xF0;
    switch (colour) {
    case Colour::Green: return background | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
    case Colour::Red: return background | FOREGROUND_RED | FOREGROUND_INTENSITY;
    case Colour::Yellow: return background | FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
    case Colour::Default: break;
    }
    return normal;
}

}  // namespace

bool ScreenBlock::begin() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
    measure();
    // Windows 10 and later take escape sequences once asked; the legacy
    // console refuses, and gets its cursor moved and its colours set through
    // the console API.
    console_api_ = SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == FALSE;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(out, &info)) attributes_ = info.wAttributes;
    colours_ = colours_allowed();
    return true;
}

void ScreenBlock::measure() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return;
    columns_ = info.srWindow.Right - info.srWindow.Left + 1;
    rows_ = info.srWindow.Bottom - info.srWindow.Top + 1;
}

// One line through the console API: each stretch in its colour, then the
// console's own colours again; padded with blanks to `width` where it is given.
void ScreenBlock::write_line(const ScreenLine& line, std::size_t width) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string text = line.text.substr(0, width);
    std::size_t at = 0;
    for (const ColourSpan& span : line.spans) {
        if (!colours_ || span.start >= text.size()) break;
        const std::size_t end = span.start + span.length < text.size() ? span.start + span.length : text.size();
        console_print("%s", text.substr(at, span.start - at).c_str());
        SetConsoleTextAttribute(out, attribute_of(span.colour, attributes_));
        console_print("%s", text.substr(span.start, end - span.start).c_str());
        SetConsoleTextAttribute(out, attributes_);
        at = end;
    }
    std::string rest = text.substr(at);
    if (width != std::string::npos && text.size() < width) rest.append(width - text.size(), ' ');
    console_print("%s\r\n", rest.c_str());
}

void ScreenBlock::draw(const std::vector<ScreenLine>& lines) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::size_t width = columns_ > 1 ? static_cast<std::size_t>(columns_ - 1) : 1;
    const int count = static_cast<int>(lines.size());
    const int previous = drawn_;
    const int written = count > previous ? count : previous;  // lines written over, blank ones included
    if (console_api_) {
        if (previous > 0) SetConsoleCursorPosition(out, COORD{0, static_cast<SHORT>(top_row_)});
        // Each line padded with blanks over what was there before, and blank
        // lines over the rest of a longer drawing (the cursor then goes back).
        for (int i = 0; i < written; ++i) write_line(i < count ? lines[static_cast<std::size_t>(i)] : ScreenLine(), width);
        // The buffer may have scrolled under the first drawing: the block ends
        // where the cursor is now.
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (GetConsoleScreenBufferInfo(out, &info)) {
            top_row_ = info.dwCursorPosition.Y - written;
            if (previous > count) SetConsoleCursorPosition(out, COORD{0, static_cast<SHORT>(top_row_ + count)});
        }
    } else {
        std::string text;
        if (previous > 0) text += "\r\x1b[" + std::to_string(previous) + "A";
        for (const ScreenLine& line : lines) text += coloured(line, width) + "\x1b[K\r\n";
        if (count < previous) text += "\x1b[J";
        console_print("%s", text.c_str());
    }
    drawn_ = count;
}

void ScreenBlock::print_line(const ScreenLine& line) {
    if (console_api_) {
        write_line(line, std::string::npos);
    } else {
        console_print("%s\r\n", coloured(line, line.text.size()).c_str());
    }
}

void ScreenBlock::bell() {
    console_print("\a");
}
