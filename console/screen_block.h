// Lines on the terminal that shows standard output, redrawn in place: the
// cursor goes back to the block's first line and each line is written over
// the last, so nothing flickers or scrolls. Escape sequences where the
// terminal takes them; the console API on a Windows console that does not
// (Windows 7 and 8). Parts of a line may have a colour: SGR sequences, or
// SetConsoleTextAttribute on such a console; none when NO_COLOR is set, when
// TERM is dumb, or off a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class Colour { Default, Green, Red, Yellow };

// A stretch of a line in a colour of its own.
struct ColourSpan {
    std::size_t start;
    std::size_t length;
    Colour colour;
};

struct ScreenLine {
    std::string text;
    std::vector<ColourSpan> spans;  // by start, none overlapping

    ScreenLine() = default;
    // cppcheck-suppress noExplicitConstructor ; a line is text
    ScreenLine(std::string line, Colour colour = Colour::Default);  // NOLINT(google-explicit-constructor): a line is text
};

// Whether the environment lets a terminal have colours: NO_COLOR is not set
// (no-color.org) and TERM is not "dumb".
bool colours_allowed();

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
    void draw(const std::vector<ScreenLine>& lines);
    // A line below the block, in its colours, ended: "text\r\n".
    void print_line(const ScreenLine& line);
    // The terminal's bell.
    void bell();

private:
    std::string coloured(const ScreenLine& line, std::size_t width) const;  // escape sequences
    void write_line(const ScreenLine& line, std::size_t width);             // the console API

    int columns_ = 80;
    int rows_ = 24;
    int drawn_ = 0;  // lines drawn the last time
    bool colours_ = false;
    // Windows' console API only: the buffer row of the block's first line,
    // whether the console takes no escape sequences, and its own colours.
    [[maybe_unused]] int top_row_ = 0;
    [[maybe_unused]] bool console_api_ = false;
    [[maybe_unused]] unsigned short attributes_ = 0;
};
