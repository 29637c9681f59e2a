// Lines on the terminal that shows standard output, redrawn in place: the
// cursor goes back to the block's first line and each line is written over
// the last, so nothing flickers or scrolls. Escape sequences where the
// terminal takes them; the console API on a Windows console that does not
// (Windows 7 and 8).
#pragma once

#include <string>
#include <vector>

class ScreenBlock {
public:
    // Whether standard output is a terminal that this can draw on, and its width.
    bool begin();
    int columns() const { return columns_; }
    // Draws `lines`, each cut to the terminal's width, over the last drawing.
    // Every drawing has as many lines as the first.
    void draw(const std::vector<std::string>& lines);

private:
    int columns_ = 80;
    int drawn_ = 0;     // lines drawn so far
    // Windows' console API only: the buffer row of the block's first line, and
    // whether the console takes no escape sequences.
    [[maybe_unused]] int top_row_ = 0;
    [[maybe_unused]] bool console_api_ = false;
};
