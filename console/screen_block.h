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
    // Whether standard output is a terminal that this can draw on.
    bool begin();
    // The window's size as last seen (read again at every drawing).
    int columns() const { return columns_; }
    int rows() const { return rows_; }
    // The most lines a drawing may have without scrolling the window: the
    // cursor rests on the line below the block.
    int lines_that_fit() const { return rows_ > 1 ? rows_ - 1 : 1; }
    // Looks at the window's size again.
    void measure();
    // Draws `lines`, each cut to the window's width, over the last drawing;
    // lines of a longer earlier drawing are wiped.
    void draw(const std::vector<std::string>& lines);

private:
    int columns_ = 80;
    int rows_ = 24;
    int drawn_ = 0;  // lines drawn the last time
    // Windows' console API only: the buffer row of the block's first line, and
    // whether the console takes no escape sequences.
    [[maybe_unused]] int top_row_ = 0;
    [[maybe_unused]] bool console_api_ = false;
};
