// What the operator types at a long-running front end's terminal, a line at
// a time and without waiting: the station reads a port's name and Enter this
// way. The typed text is not echoed by the terminal; the caller shows it.
// Nothing is read where standard input is no terminal.
#pragma once

#include <cstddef>
#include <string>

class KeyLines {
public:
    KeyLines() = default;
    ~KeyLines() { end(); }
    KeyLines(const KeyLines&) = delete;
    KeyLines& operator=(const KeyLines&) = delete;

    // Starts reading: true when standard input is a terminal.
    bool begin();
    bool active() const { return active_; }
    // Takes what was typed since the last call. True when Enter ended a
    // line, which is then in `line` (blanks around it dropped). Backspace
    // takes back a character; Escape or Ctrl+U clears the line.
    bool poll(std::string& line);
    // The line being typed.
    const std::string& typed() const { return typed_; }
    // Puts standard input back as it was.
    void end();

    // The longest line kept; more is ignored.
    static constexpr std::size_t LINE_MAX = 64;

private:
    std::string typed_;
    std::string pending_;  // keys read and not yet taken
    bool active_ = false;
};
